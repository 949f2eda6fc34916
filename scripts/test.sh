#!/usr/bin/env bash
# Builds everything and runs every test suite: the regular build (Linux,
# Windows DLLs under Wine, HTTP and FastCGI hosts), the sanitizer builds
# (AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer on the
# concurrency tests) and the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset tsan
cmake --workflow --preset fuzz
