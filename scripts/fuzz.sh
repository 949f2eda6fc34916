#!/usr/bin/env bash
# Runs the fuzz targets longer than the test suite does: each for SECONDS
# (default 600), one after another, from the checked-in seeds and what
# earlier runs found (kept in build/fuzz/tests/fuzz/corpus/<target>).
# An input that breaks a target is saved as build/fuzz/tests/fuzz/<target>-crash-*.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]     e.g. scripts/fuzz.sh 3600 profile_fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
scripts/install-deps.sh serve test fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
dir=build/fuzz/tests/fuzz
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd tests/fuzz && ls -1 corpus)
fi
failed=()
summary=()
for target in "${targets[@]}"; do
  echo "== $target: $seconds s" >&2
  log=$dir/$target.log
  if ! "$dir/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$dir/$target-" "$dir/corpus/$target" "tests/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$log" >&2
  fi
  summary+=("$target $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)")
done
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]} (logs and inputs in $dir)" >&2
  exit 1
fi
