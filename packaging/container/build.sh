#!/usr/bin/env bash
# Builds the container image orvanehp:VERSION (also tagged latest) from the
# Debian 12 packages in DEB_DIR, by default build/packages-deb12, which
# scripts/build-packages.sh bookworm fills first when it holds none. The
# base image debian:bookworm-slim comes from the registry, or from
# packaging/container/make-base.sh where none is reachable.
#
#   packaging/container/build.sh [DEB_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
debs=${1:-$source_dir/build/packages-deb12}
shopt -s nullglob
packages=("$debs"/orvanehp_*.deb "$debs"/isapi-server_*.deb)
if [ ${#packages[@]} -ne 2 ] && [ $# -eq 0 ]; then
  "$source_dir/scripts/build-packages.sh" bookworm
  packages=("$debs"/orvanehp_*.deb "$debs"/isapi-server_*.deb)
fi
[ ${#packages[@]} -eq 2 ] || { echo "build.sh: no single orvanehp and isapi-server package in $debs" >&2; exit 1; }
version=$(dpkg-deb -f "${packages[0]}" Version)
version=${version%%~*}

context=$(mktemp -d)
trap 'rm -rf "$context"' EXIT
cp "${packages[@]}" "$here/healthcheck" "$context/"
# The docker format keeps HEALTHCHECK, which the OCI format has no field for.
"$here/run-podman.sh" build --quiet --format docker -f "$here/Containerfile" \
  -t "orvanehp:$version" -t orvanehp:latest "$context" > /dev/null
echo "orvanehp:$version"
