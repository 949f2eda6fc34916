#!/usr/bin/env bash
# The nginx module as nginx's own addon build makes it, the way Debian's
# nginx_mod build system builds libnginx-mod-* packages: nginx's configure
# in nginx-dev's tree with Debian's arguments and the module added, then
# `make modules`, from the sources server/nginx/config lists. Everything is
# written under BUILD/nginx-addon; then the module suite runs against that
# module instead of the one CMake built.
#
# usage: .ci/nginx-addon-build.sh [BUILD]   (a configured default build;
#                                            build/default when omitted)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
build=$(realpath "${1:-build/default}")
tree=$(sed -n 's/^ORVANE_NGINX_DEV_DIR:PATH=//p' "$build/CMakeCache.txt")
out=$build/nginx-addon

cmake --build "$build" --target nginx_module_tests win32compat
rm -rf "$out"
mkdir -p "$out"
(cd "$tree" && . ./conf_flags &&
  ./configure "${NGX_CONF_FLAGS[@]}" --add-dynamic-module="$source/server/nginx" \
    --builddir="$out" --with-ld-opt="-L$build/platform -Wl,-rpath,$build/platform" &&
  make -f "$out/Makefile" modules) > "$out/build.log" 2>&1 ||
  { echo "nginx's addon build failed, see $out/build.log:" >&2; tail -n 20 "$out/build.log" >&2; exit 1; }
ORVANE_NGINX_MODULE=$out/ngx_http_isapi_module.so "$build/tests/server/nginx_module_tests"
