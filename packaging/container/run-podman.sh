#!/usr/bin/env bash
# Runs podman with what the build and test machines need: the runc runtime
# (crun refuses their hybrid cgroup hierarchy) and explicit open-file and
# process limits, which runc must be given at or below the caller's own.
#
#   packaging/container/run-podman.sh SUBCOMMAND ARGS...
set -euo pipefail
limit() { local current=$1; [ "$current" != unlimited ] && [ "$current" -lt 4096 ] && echo "$current" || echo 4096; }
files=$(limit "$(ulimit -n)") processes=$(limit "$(ulimit -u)")
subcommand=$1
shift
case "$subcommand" in
  build | create | run)
    exec podman --runtime runc "$subcommand" --ulimit "nofile=$files:$files" \
      --ulimit "nproc=$processes:$processes" "$@" ;;
  *) exec podman --runtime runc "$subcommand" "$@" ;;
esac
