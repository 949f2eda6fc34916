#!/usr/bin/env bash
# Installs the Debian packages named on the command line, or by default all
# of scripts/packages.txt, that are missing, and then makes the source of
# the installed nginx available to apt-get source (scripts/add-deb-src.sh;
# the nginx module is built against it). Needs root (or sudo) only when
# something is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
  wanted=("$@")
else
  mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/packages.txt")
fi
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # 32-bit packages (the 32-bit Wine loader) need the i386 architecture.
  for package in "${missing[@]}"; do
    if [[ $package == *:i386 ]] && [[ " $(dpkg --print-foreign-architectures | tr '\n' ' ') " != *" i386 "* ]]; then
      $sudo dpkg --add-architecture i386
    fi
  done
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
[ $# -gt 0 ] || "$here/add-deb-src.sh"
