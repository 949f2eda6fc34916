#!/usr/bin/env bash
# Makes the base image debian:bookworm-slim from Debian's archive, for
# machines that reach no container registry (CI): a minbase Debian 12 root
# by mmdebstrap, without manual pages, documentation or translations (what
# the registry's slim image leaves out too), imported into podman.
set -euo pipefail
nice mmdebstrap --variant=minbase --quiet \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-include=/usr/share/doc/*/copyright' \
  bookworm - | podman import --quiet - debian:bookworm-slim > /dev/null
