#!/usr/bin/env bash
# Builds everything and runs every test suite: the regular build (Linux,
# Windows DLLs under Wine, HTTP and FastCGI hosts), the sanitizer builds
# (AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer) and the fuzz targets for a bounded time each; then
# builds the Debian packages and the Windows zip and, as root, tests the
# packages by installing them into this system and purging them again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh serve test windows fuzz package
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset tsan
cmake --workflow --preset fuzz
cmake --workflow --preset package
# The package test installs into this system (and reloads nginx through the
# module package's trigger), so it runs only where that was asked for: on a
# throw-away machine as root, with ORVANE_PACKAGE_TEST=1 (CI sets it).
if [ "$(id -u)" -eq 0 ] && [ "${ORVANE_PACKAGE_TEST:-0}" = 1 ]; then
  packaging/test-packages.sh
else
  echo "test.sh: package test skipped (needs root and ORVANE_PACKAGE_TEST=1: it installs into this system)" >&2
fi
