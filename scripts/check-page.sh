#!/usr/bin/env bash
# Fetches URL and checks the module's answer: status 200, the module's
# header block, and the installation's notice page byte for byte. Says what
# differs, and exits 1 then.
#
# usage: scripts/check-page.sh [--names-any-case] URL INSTALLATION
#
# --names-any-case: header names in any case, for a web server that writes
# them its own way (nginx's FastCGI client: Content-Type).
set -euo pipefail
name_case=-F
if [ "$1" = --names-any-case ]; then name_case=-iF; shift; fi
url=$1 installation=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

curl -sS -D "$scratch/headers" -o "$scratch/body" "$url"
status=0
head -n 1 "$scratch/headers" | grep -q '^HTTP/1.1 200 ' ||
  { echo "$url: not 200: $(head -n 1 "$scratch/headers")" >&2; status=1; }
for header in 'Content-type: text/html' 'Cache-Control: no-cache' 'Pragma: no-cache' 'TrResult: -1'; do
  grep -qx "$name_case" "$header"$'\r' "$scratch/headers" || { echo "$url: missing header: $header" >&2; status=1; }
done
cmp "$scratch/body" "$installation/help/nohp.html" ||
  { echo "$url: the page differs from $installation/help/nohp.html" >&2; status=1; }
exit $status
