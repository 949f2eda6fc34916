#!/usr/bin/env bash
# Builds the Debian packages for one Debian release in a clean chroot of
# that release (mmdebstrap), against its libraries and its nginx-dev, into
# build/packages-debNN/: orvanehp_0.0.1~deb13_amd64.deb and so on. The
# chroot gets only the serve and package groups of scripts/packages.txt;
# compiler warnings fail the build. With --test the package test
# (packaging/test-packages.sh: install, serve through the three hosts,
# purge) runs in the same chroot afterwards. The chroot is thrown away.
# Root only (mmdebstrap's root mode, the package test).
#
#   scripts/build-packages.sh bookworm|trixie [--test]
set -euo pipefail
usage() { echo "usage: $0 bookworm|trixie [--test]" >&2; exit 2; }
case "${1:-}" in
  bookworm) release=deb12 ;;
  trixie) release=deb13 ;;
  *) usage ;;
esac
suite=$1
test=false
case "${2:-}" in
  "") ;;
  --test) test=true ;;
  *) usage ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "$0: run it as root (mmdebstrap's root mode)" >&2; exit 1; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
source "$source_dir/scripts/debian-root.sh"
out=$source_dir/build/packages-$release

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The sources as git sees them (committed or not, without what it ignores).
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  (cd "$source_dir" && tar --null --files-from=- --ignore-failed-read -cf "$work/sources.tar")

build="cmake --preset package -S /src -B /build -DORVANE_WINDOWS_DLLS=OFF \
  -DORVANE_DEBIAN_RELEASE=$release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /build.log \
  && cmake --build /build >> /build.log && cd /build && cpack -B /out >> /build.log \
  && rm -rf /out/_CPack_Packages || { tail -n 40 /build.log >&2; exit 1; }"
hooks=(
  --customize-hook='mkdir "$1/src" "$1/out"'
  --customize-hook="tar-in $work/sources.tar /src"
  "$(debian_root_hook '/src/scripts/install-deps.sh serve package')"
  "$(debian_root_hook "$build")"
)
if $test; then
  hooks+=("$(debian_root_hook '/src/packaging/test-packages.sh /out')")
fi
hooks+=(--customize-hook="sync-out /out $work/out")

started=$SECONDS
make_debian_root "$suite" /dev/null "${hooks[@]}"
rm -rf "$out"
mkdir -p "$(dirname "$out")"
mv "$work/out" "$out"
echo "build-packages: $suite in $((SECONDS - started)) s:" >&2
ls "$out"
