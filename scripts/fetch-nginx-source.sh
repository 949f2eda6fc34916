#!/usr/bin/env bash
# Unpacks the Debian source of the installed nginx (patches applied) into
# DEST/nginx and prints that directory. Takes the installed revision's
# source; when the apt sources no longer carry it, the nearest revision of
# the same upstream version. Run scripts/add-deb-src.sh (root) first.
#
# usage: scripts/fetch-nginx-source.sh DEST
set -euo pipefail
dest=$(realpath -m "$1")
installed=$(dpkg-query -W -f='${Version}' nginx 2>/dev/null || true)
[ -n "$installed" ] || { echo "nginx source: the nginx package is not installed" >&2; exit 1; }
upstream=${installed#*:}
upstream=${upstream%%-*}

if [ -f "$dest/nginx/.debian-revision" ] && [ "$(cat "$dest/nginx/.debian-revision")" = "$installed" ]; then
  echo "$dest/nginx"
  exit 0
fi

# Revisions on offer with the same upstream version, nearest first: the
# installed one, then older ones from newest down, then newer ones.
mapfile -t offered < <(apt-cache showsrc nginx 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
older=() newer=() chosen=""
for version in "${offered[@]}"; do
  v=${version#*:}
  [ "${v%%-*}" = "$upstream" ] || continue
  if [ "$version" = "$installed" ]; then chosen=$version
  elif dpkg --compare-versions "$version" lt "$installed"; then older+=("$version")
  else newer+=("$version"); fi
done
candidates=()
[ -n "$chosen" ] && candidates+=("$chosen")
mapfile -t older < <(printf '%s\n' "${older[@]}" | sort -r -V | sed '/^$/d')
mapfile -t newer < <(printf '%s\n' "${newer[@]}" | sort -V | sed '/^$/d')
candidates+=("${older[@]}" "${newer[@]}")
if [ ${#candidates[@]} -eq 0 ]; then
  echo "nginx source: apt offers no source of nginx $upstream (installed $installed); run scripts/add-deb-src.sh as root" >&2
  exit 1
fi

work=$(mktemp -d "${dest%/}.XXXXXX")
trap 'rm -rf "$work"' EXIT
for version in "${candidates[@]}"; do
  if (cd "$work" && apt-get source -q --only-source "nginx=$version" >/dev/null 2>"$work/apt.log"); then
    tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "nginx-$upstream" | head -n 1)
    if [ -n "$tree" ] && [ -f "$tree/src/core/nginx.h" ]; then
      [ "$version" = "$installed" ] || echo "nginx source: using revision $version for installed $installed" >&2
      echo "$installed" >"$tree/.debian-revision"
      mkdir -p "$dest"
      rm -rf "$dest/nginx"
      mv "$tree" "$dest/nginx"
      echo "$dest/nginx"
      exit 0
    fi
  fi
  rm -rf "${work:?}"/*
done
echo "nginx source: apt-get source failed for every revision of nginx $upstream: $(tail -n 1 "$work/apt.log" 2>/dev/null)" >&2
exit 1
