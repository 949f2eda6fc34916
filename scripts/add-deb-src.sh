#!/usr/bin/env bash
# Makes Debian source packages available to apt-get source: adds a deb-src
# entry beside every deb entry of the machine's own apt sources (same URIs,
# suites and components), then refreshes the package lists. Does nothing
# when apt already knows nginx's source. Needs root (or sudo) when it has to
# change something.
set -euo pipefail
target=/etc/apt/sources.list.d/orvane-deb-src.sources
[ -n "$(apt-cache showsrc nginx 2>/dev/null | sed -n '/^Package: nginx$/p')" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# deb822 files: every stanza whose Types has "deb" becomes a deb-src
# stanza; one-line files: every "deb" line becomes a stanza too.
entries=$(
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && [ "$file" != "$target" ] || continue
    case "$file" in
      *.sources)
        awk '
          function flush() {
            if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "")
              printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n%s\n", uris, suites, comps, signed == "" ? "" : signed "\n"
            types = uris = suites = comps = signed = enabled = ""
          }
          /^[ \t]*$/ { flush(); next }
          /^#/ { next }
          /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
          /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
          /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
          /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
          /^Enabled:/ { sub(/^Enabled:[ \t]*/, ""); enabled = $0 }
          /^Signed-By:/ { signed = $0 }
          END { flush() }' "$file" ;;
      *)
        awk '
          $1 == "deb" {
            i = 2; options = ""
            if ($2 ~ /^\[/) { while ($i !~ /\]$/) { options = options " " $i; i++ } options = options " " $i; i++ }
            comps = ""
            for (j = i + 2; j <= NF && $j !~ /^#/; j++) comps = comps (comps == "" ? "" : " ") $j
            signed = ""
            if (match(options, /signed-by=[^] ]+/)) signed = "Signed-By: " substr(options, RSTART + 10, RLENGTH - 10)
            printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n%s\n", $i, $(i + 1), comps, signed == "" ? "" : signed "\n"
          }' "$file" ;;
    esac
  done | awk 'BEGIN { RS = ""; ORS = "\n\n" } !seen[$0]++')

[ -n "$entries" ] || { echo "add-deb-src: no deb entries in the apt sources" >&2; exit 1; }
printf '# Source entries beside the deb entries of this machine (scripts/add-deb-src.sh).\n\n%s\n' "$entries" |
  $sudo tee "$target" >/dev/null
$sudo apt-get update -q
