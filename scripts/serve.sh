#!/usr/bin/env bash
# Builds the module and isapi-server, then serves the example installation
# (examples/installation) on http://127.0.0.1:8080/ until Ctrl-C.
# Missing Debian packages are installed first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/serve

scripts/install-deps.sh serve

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF
cmake --build "$build" --target isapi-server orvanehp

# The installation's data/dremgate_j.ini names its files the Windows way,
# "C:\Program Files\Orvane\...", exactly as on a Windows machine. The module's
# platform library resolves drive C: under $WIN32_DRIVE_C, so drive C: here
# is a directory whose "Program Files/Orvane" is the example installation.
drive_c=$build/drive_c
mkdir -p "$drive_c/Program Files"
ln -sfn "$root/examples/installation" "$drive_c/Program Files/Orvane"

export ORVANE_INSDIR=$root/examples/installation
export WIN32_DRIVE_C=$drive_c
# isapi-server refuses to run a module as root unless told; this script is
# for trying the example on a development machine, where that is the user's
# own choice.
allow_root=()
[ "$(id -u)" -ne 0 ] || allow_root=(--allow-root)
exec "$build/server/http/isapi-server" --module "$build/extension/orvanehp.so" \
  --listen 127.0.0.1:8080 --access-log - "${allow_root[@]}"
