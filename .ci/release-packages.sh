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
source .ci/steps.sh
# The two package builds and the base image wait mostly on downloads and
# dpkg, so they run side by side.
side_by_side bookworm.log "scripts/build-packages.sh bookworm" \
  trixie.log "scripts/build-packages.sh trixie --test" \
  base-image.log packaging/container/make-base.sh

image=$(timed packaging/container/build.sh build/packages-deb12)
timed packaging/container/test-image.sh "$image"
timed bench/scale-out.py --image "$image" --rounds 1 --duration 3 --failover-duration 12 \
  --results build/scale-out-results.md
