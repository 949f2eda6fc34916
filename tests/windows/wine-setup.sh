#!/bin/sh
# Creates a fresh Wine prefix for the Windows tests and waits until Wine has
# finished setting it up, so that the tests themselves start quickly.
#
#   wine-setup.sh <wine64 loader> <wineserver>
#
# Uses WINEPREFIX (removed and recreated) and WINEDEBUG from the environment.
set -eu
wine=$1
wineserver=$2
: "${WINEPREFIX:?WINEPREFIX must name the prefix to create}"

rm -rf "$WINEPREFIX"
"$wine" wineboot.exe --init
"$wineserver" -w
test -d "$WINEPREFIX/drive_c/windows/system32" || {
    echo "Wine did not create $WINEPREFIX" >&2
    exit 1
}
echo "Wine prefix ready: $WINEPREFIX"
