#!/usr/bin/env bash
# Prints every path the packages DEB... ship, sorted, one a line; with
# --dirs-in ROOT, only those that are directories under ROOT already (what
# may remain after the packages are purged).
#
#   packaging/shipped-paths.sh [--dirs-in ROOT] DEB...
set -euo pipefail
root=""
if [ "$1" = --dirs-in ]; then root=$2; shift 2; fi
for deb in "$@"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\.||' -e 's|/$||' -e '/^$/d'
done | sort -u | while read -r path; do
  [ -z "$root" ] || [ -d "$root$path" ] || continue
  echo "$path"
done
