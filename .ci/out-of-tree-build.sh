#!/usr/bin/env bash
# A pristine clone of this repository, mounted read-only, configured with a
# build directory outside it: the module, the hosts and the nginx module
# (nginx's configure in nginx-dev's tree) must build, and the clone must
# stay exactly as cloned (git status --ignored prints nothing).
#
# Needs root (a read-only bind mount in a mount namespace of its own).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

git clone --quiet . "$work/source"
unshare --mount bash -euo pipefail -c '
  source=$1 build=$2
  mount --bind -o ro "$source" "$source"
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_BUILD_TESTS=OFF -DORVANE_WINDOWS_DLLS=OFF -DORVANE_NGINX_MODULE=ON > "$build.log"
  cmake --build "$build" --target orvanehp isapi-server isapi-fcgi ngx_http_isapi_module >> "$build.log"
' build "$work/source" "$work/build" || { tail -n 30 "$work/build.log" >&2; exit 1; }
written=$(git -C "$work/source" status --ignored --porcelain)
[ -z "$written" ] || { echo "the build wrote into the source tree:" >&2; echo "$written" >&2; exit 1; }
echo "out-of-tree build from a read-only clone: nothing written into the source tree"
