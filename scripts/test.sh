#!/usr/bin/env bash
# Builds everything and runs every test suite: the regular build (Linux,
# Windows DLLs under Wine, HTTP and FastCGI hosts), the sanitizer builds
# (AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer) and the fuzz targets for a bounded time each; then
# builds the Debian packages and the Windows zip and, as root, tests the
# packages by installing them into this system and purging them again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset tsan
cmake --workflow --preset fuzz
cmake --workflow --preset package
if [ "$(id -u)" -eq 0 ]; then
  packaging/test-packages.sh
else
  echo "test.sh: the package test installs into the system and runs as root only (CI); skipped" >&2
fi
