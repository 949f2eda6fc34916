#!/usr/bin/env bash
# Serves the example installation with isapi-server and the module as
# installed into PREFIX, and checks the answer (scripts/check-page.sh).
#
#   packaging/check-installed.sh PREFIX SERVER MODULE ORVANE_INSDIR WIN32_DRIVE_C
#
# The last four are paths below PREFIX. As root the server runs as nobody,
# as a service would.
set -euo pipefail
check_page=$(dirname "$0")/../scripts/check-page.sh
prefix=${1%/} server=$2 module=$3 installation=$4 drive_c=$5

scratch=$(mktemp -d)
chmod 755 "$scratch"
pid=""
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  wait
  rm -rf "$scratch"
}
trap cleanup EXIT

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  # nobody cannot enter a build under /root (mode 0700): there it runs a
  # copy of the installed tree, whose runpaths are relative.
  if ! "${as_user[@]}" test -x "$prefix/$server"; then
    cp -a "$prefix" "$scratch/prefix"
    prefix=$scratch/prefix
  fi
fi
mkfifo "$scratch/output"
ORVANE_INSDIR=$prefix/$installation WIN32_DRIVE_C=$prefix/$drive_c \
  "${as_user[@]}" "$prefix/$server" --module "$prefix/$module" --listen 127.0.0.1:0 > "$scratch/output" &
pid=$!
exec 3< "$scratch/output"
read -r -t 30 line <&3 || { echo "$server did not start" >&2; exit 1; }
port=${line##*:}

status=0
"$check_page" "http://127.0.0.1:$port/orvanehp.dll" "$prefix/$installation" || status=1
kill -TERM "$pid"
wait "$pid" || { echo "$server exited with $? on SIGTERM" >&2; status=1; }
pid=""
exit $status
