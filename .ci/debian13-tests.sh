#!/usr/bin/env bash
# The regular test suite on a fresh Debian 13: a minimal root gets a clone
# of this repository under /root, where, as root logged in there,
# scripts/install-deps.sh installs what the default workflow needs and
# `cmake --workflow --preset default` builds and runs every suite of it
# (the Windows DLLs under Debian 13's Wine and binutils, the nginx module
# and its HTTP/3 rows under Debian 13's nginx). The root is thrown away.
#
# Needs root, mmdebstrap and Debian's archive.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-root.sh
make_debian_root trixie /dev/null \
  --customize-hook="git clone --quiet '$(pwd)' \"\$1/root/orvane\"" \
  "$(debian_root_hook 'cd /root/orvane && scripts/install-deps.sh serve test windows &&
    cmake --workflow --preset default')"
