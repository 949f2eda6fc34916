#!/usr/bin/env bash
# Installs the missing Debian packages of the named groups of
# scripts/packages.txt, or of every group when none is named. Needs root
# (or sudo) only when something is missing.
#
# usage: scripts/install-deps.sh [GROUP...]      e.g. scripts/install-deps.sh serve
set -euo pipefail
list=$(dirname "$0")/packages.txt
mapfile -t groups < <(sed -n 's/^\[\(.*\)\]$/\1/p' "$list")
[ $# -gt 0 ] || set -- "${groups[@]}"
for group in "$@"; do
  [[ " ${groups[*]} " == *" $group "* ]] ||
    { echo "install-deps: no group [$group] in $list (groups: ${groups[*]})" >&2; exit 2; }
done
mapfile -t wanted < <(awk -v wanted=" $* " '
  /^\[.*\]$/ { group = substr($0, 2, length($0) - 2); next }
  /^[ \t]*(#|$)/ { next }
  index(wanted, " " group " ") && !seen[$0]++ { print $0 }' "$list")

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# A line "a | b" is met by either package; the first is installed when
# neither is.
missing=()
for line in "${wanted[@]}"; do
  read -r -a alternatives <<< "${line//|/ }"
  met=false
  for package in "${alternatives[@]}"; do
    if installed "$package"; then met=true; break; fi
  done
  $met || missing+=("${alternatives[0]}")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# 32-bit packages (the 32-bit Wine loader) need the i386 architecture.
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
