#!/usr/bin/env bash
# Checks that the release artifacts rebuild bit for bit: builds
# `cmake --workflow --preset package` twice from clones of one commit (the
# last one by default), as two operators would, in two different
# directories, at two different times, under another umask, locale and
# time zone; then compares every .deb, the Windows zip and both DLLs with
# their traced twins byte for byte. When any differs, diffoscope says
# where; its reports are left in build/reproducible/.
#
# With --reuse, the first build is the one this clean checkout already
# made (CI: scripts/test.sh runs the package workflow), and only the
# second is built.
#
#   packaging/check-reproducible.sh [COMMIT | --reuse]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh serve windows package reproducible
reuse=false
if [ "${1:-}" = --reuse ]; then
  reuse=true
  set -- HEAD
  [ -z "$(git status --porcelain)" ] ||
    { echo "$0 --reuse: the checkout has changes; its build is not of a commit" >&2; exit 2; }
fi
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
out=$(pwd)/build/reproducible
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A locale other than the first build's, made here where none is installed.
localedef -i ja_JP -f UTF-8 "$work/ja_JP.UTF-8"

# build NAME DIR UMASK ENVIRONMENT...: one clean build in DIR, its
# artifacts copied to $out/NAME/. No compiler cache: a hit would hand the
# second build the first one's objects.
build() {
  local name=$1 dir=$2 mask=$3
  shift 3
  git clone --quiet --no-checkout . "$dir"
  git -C "$dir" checkout --quiet "$commit"
  local started=$SECONDS
  (cd "$dir" && umask "$mask" &&
    env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER -u SOURCE_DATE_EPOCH "$@" \
      cmake --workflow --preset package) > "$out/$name.log" 2>&1 ||
    { tail -n 40 "$out/$name.log" >&2; exit 1; }
  echo "check-reproducible: $name build in $dir took $((SECONDS - started)) s" >&2
  collect "$name" "$dir"
}

# collect NAME DIR: the artifacts of the build in DIR, into $out/NAME/.
collect() {
  local name=$1 dir=$2
  mkdir -p "$out/$name"
  cp "$dir"/build/package/*.deb "$dir"/build/package/*.zip "$out/$name/"
  local arch
  for arch in x64 x86; do
    cp "$dir/build/package-build/windows/$arch/orvanehp.dll" "$out/$name/orvanehp-$arch.dll"
    cp "$dir/build/package-build/windows/$arch/trace/orvanehp.dll" \
      "$out/$name/orvanehp-$arch-trace.dll"
  done
}
# The second build starts when the first has ended, minutes later.
if $reuse; then
  collect first .
else
  build first "$work/first" 022 LC_ALL=C.UTF-8 TZ=UTC0
fi
build second "$work/a/longer/path/second" 077 LOCPATH="$work" LC_ALL=ja_JP.UTF-8 TZ=JST-9

different=()
for file in "$out"/first/*; do
  name=$(basename "$file")
  if ! cmp -s "$file" "$out/second/$name"; then
    different+=("$name")
    diffoscope --text "$out/$name.diffoscope.txt" "$file" "$out/second/$name" > /dev/null || true
  fi
done
[ "$(ls "$out/first")" = "$(ls "$out/second")" ] ||
  { echo "the two builds made different files" >&2; exit 1; }
if [ ${#different[@]} -gt 0 ]; then
  for name in "${different[@]}"; do
    echo "== $name differs; diffoscope says:"
    head -n 60 "$out/$name.diffoscope.txt"
  done >&2
  exit 1
fi
echo "check-reproducible: $(ls "$out/first" | wc -l) artifacts of $commit identical in both builds:"
(cd "$out/first" && sha256sum -- *)
