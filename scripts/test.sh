#!/usr/bin/env bash
# Builds everything and runs every test suite: the regular build (Linux,
# Windows DLLs under Wine, HTTP and FastCGI hosts) and the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
