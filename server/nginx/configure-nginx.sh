#!/usr/bin/env bash
# Runs nginx's configure in TREE, the configured nginx tree of Debian's
# nginx-dev, as debhelper's nginx_mod build system does for Debian's own
# libnginx-mod-* packages: with the arguments Debian's nginx was configured
# with (TREE/conf_flags) and this module added, writing nginx's objs/ into
# BUILD. TREE is only read.
#
# usage: configure-nginx.sh TREE BUILD ADDON_DIR
set -euo pipefail
tree=$1 build=$2 addon=$3

mkdir -p "$build"
cd "$tree"
. ./conf_flags
./configure "${NGX_CONF_FLAGS[@]}" --add-dynamic-module="$addon" --builddir="$build" \
  >"$build/configure.log" 2>&1 ||
  { echo "nginx module: nginx's configure failed, see $build/configure.log:" >&2; tail -n 3 "$build/configure.log" >&2; exit 1; }
