#!/usr/bin/env bash
# Serves an installation with an installed isapi-server and module, and
# checks the answer: status 200, the module's header block, and the
# installation's notice page byte for byte.
#
#   packaging/check-installed.sh SERVER MODULE ORVANE_INSDIR WIN32_DRIVE_C
#
# As root the server runs as nobody, as a service would.
set -euo pipefail
server=$1 module=$2 installation=$3 drive_c=$4

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
[ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
mkfifo "$scratch/output"
ORVANE_INSDIR=$installation WIN32_DRIVE_C=$drive_c \
  "${as_user[@]}" "$server" --module "$module" --listen 127.0.0.1:0 > "$scratch/output" &
pid=$!
exec 3< "$scratch/output"
read -r -t 30 line <&3 || { echo "$server did not start" >&2; exit 1; }
port=${line##*:}

curl -sS -D "$scratch/headers" -o "$scratch/body" "http://127.0.0.1:$port/orvanehp.dll"
status=0
head -n 1 "$scratch/headers" | grep -q '^HTTP/1.1 200 ' || { echo "not 200: $(head -n 1 "$scratch/headers")" >&2; status=1; }
for header in 'Content-type: text/html' 'Cache-Control: no-cache' 'Pragma: no-cache' 'TrResult: -1'; do
  grep -qFx "$header"$'\r' "$scratch/headers" || { echo "missing header: $header" >&2; status=1; }
done
cmp "$scratch/body" "$installation/help/nohp.html" ||
  { echo "the page differs from $installation/help/nohp.html" >&2; status=1; }

kill -TERM "$pid"
wait "$pid" || { echo "$server exited with $? on SIGTERM" >&2; status=1; }
pid=""
exit $status
