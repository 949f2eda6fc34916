#!/usr/bin/env bash
# The README's first command on a fresh Debian 12: a minimal root
# (mmdebstrap --variant=apt: apt and nothing else) gets a clone of this
# repository under /root, where scripts/serve.sh runs as the README says, as
# root. The page is fetched from outside the root and checked byte for
# byte; then Ctrl-C (SIGINT to the process group, as a terminal sends it)
# must end serve.sh with status 0.
#
# Needs root, mmdebstrap and Debian's archive; serve.sh serves on
# 127.0.0.1:8080, which must be free.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-root.sh
repository=$(pwd)

work=$(mktemp -d)
serve_pid=""
cleanup() {
  [ -z "$serve_pid" ] || kill -KILL -- "-$serve_pid" 2>/dev/null || true
  wait
  ! mountpoint -q "$work/root/proc" || umount "$work/root/proc"
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

make_debian_root bookworm "$work/root"
git clone --quiet "$repository" "$work/root/root/orvane"
mount -t proc proc "$work/root/proc"

echo "== scripts/serve.sh in a fresh Debian 12 root"
mkfifo "$work/output"
# Job control puts serve.sh in a process group of its own with SIGINT
# handled as in a terminal's foreground job.
set -m
chroot "$work/root" "${debian_root_login[@]}" \
  /bin/bash -c 'cd /root/orvane && exec scripts/serve.sh' > "$work/output" 2>&1 &
serve_pid=$!
set +m
exec 3< "$work/output"
started=""
while read -r -t 600 line <&3; do
  echo "$line" >> "$work/serve.log"
  if [[ $line == "listening on 127.0.0.1:8080" ]]; then started=1; break; fi
done
[ -n "$started" ] || { echo "serve.sh did not start serving:" >&2; tail -n 30 "$work/serve.log" >&2; exit 1; }

# The address the README names.
scripts/check-page.sh http://127.0.0.1:8080/ examples/installation

kill -INT -- "-$serve_pid"
status=0
wait "$serve_pid" || status=$?
serve_pid=""
[ "$status" -eq 0 ] || { echo "serve.sh ended with status $status on Ctrl-C" >&2; exit 1; }
echo "serve.sh served the page and ended with status 0 on Ctrl-C"
