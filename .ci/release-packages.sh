#!/usr/bin/env bash
# CI step: the Debian 12 and 13 packages, each built in a clean root of its
# release (Debian 13's also installed, served and purged there), then the
# container image from Debian 12's packages, its checks, and three of its
# containers behind nginx with one taken out under load. CI reaches no
# container registry, so the base image debian:bookworm-slim is made from
# Debian's archive (packaging/container/make-base.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ci bench
logs=build/ci-logs
mkdir -p "$logs"
# The two package builds and the base image wait mostly on downloads and
# dpkg, so they run side by side, each with a log of its own; all three
# are waited for, so none outlives a failure of another.
pids=()
background() {
  local log=$1
  shift
  (started=$SECONDS; "$@" > "$logs/$log" 2>&1; echo "ci: $* took $((SECONDS - started)) s" >> "$logs/$log") &
  pids+=($!)
}
background bookworm.log scripts/build-packages.sh bookworm
background trixie.log scripts/build-packages.sh trixie --test
background base-image.log packaging/container/make-base.sh
failed=0
for index in "${!pids[@]}"; do
  wait "${pids[$index]}" || failed=1
done
for log in bookworm.log trixie.log base-image.log; do
  if [ $failed -eq 1 ]; then echo "== $log"; tail -n 40 "$logs/$log"; else tail -n 1 "$logs/$log"; fi
done >&2
[ $failed -eq 0 ]

timed() {
  local started=$SECONDS
  "$@"
  echo "ci: $1 took $((SECONDS - started)) s" >&2
}
image=$(timed packaging/container/build.sh build/packages-deb12)
timed packaging/container/test-image.sh "$image"
timed bench/scale-out.py --image "$image" --rounds 1 --duration 3 --failover-duration 12 \
  --results build/scale-out-results.md
