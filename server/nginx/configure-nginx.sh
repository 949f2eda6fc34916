#!/usr/bin/env bash
# Configures the nginx source tree SRC the way the installed nginx binary
# was configured (its own `nginx -V` arguments, plus --with-compat), with
# this module added, writing nginx's objs/ into BUILD. Modules that the
# binary builds as separate dynamic modules, and third-party module paths,
# are left out: they do not change the module interface, and leaving them
# out spares their build dependencies.
#
# usage: configure-nginx.sh NGINX_BINARY SRC BUILD ADDON_DIR
set -euo pipefail
nginx=$1 src=$2 build=$3 addon=$4

arguments=$("$nginx" -V 2>&1 | sed -n 's/^configure arguments: //p')
installed=$("$nginx" -v 2>&1 | sed -n 's|^nginx version: nginx/||p')
source=$(sed -n 's/^#define NGINX_VERSION *"\(.*\)"/\1/p' "$src/src/core/nginx.h")
if [ "$installed" != "$source" ]; then
  echo "nginx module: $nginx is nginx $installed but the source in $src is nginx $source" >&2
  exit 1
fi

# nginx -V prints the arguments with their shell quoting.
eval "set -- $arguments"
kept=(--with-compat)
for argument in "$@"; do
  case "$argument" in
    --with-compat | --add-module=* | --add-dynamic-module=* | --with-*=dynamic) ;;
    *) kept+=("$argument") ;;
  esac
done

mkdir -p "$build"
cd "$src"
./configure "${kept[@]}" --builddir="$build" --add-dynamic-module="$addon" >"$build/configure.log" 2>&1 ||
  { echo "nginx module: nginx's configure failed, see $build/configure.log:" >&2; tail -n 3 "$build/configure.log" >&2; exit 1; }
