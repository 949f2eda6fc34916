#!/usr/bin/env bash
# Tests the container image IMAGE (packaging/container/build.sh): it serves
# the example installation as a non-root PID 1 on port 8080 and its health
# check passes; a mounted installation replaces the example; a broken one
# (the module's fallback page) fails the health check; podman stop drains
# and the server exits 0 before podman's stop timeout.
#
#   packaging/container/test-image.sh IMAGE
set -euo pipefail
image=$1
here=$(cd "$(dirname "$0")" && pwd)
podman=("$here/run-podman.sh")
scratch=$(mktemp -d)
chmod 755 "$scratch"
names=()
cleanup() {
  [ ${#names[@]} -eq 0 ] || podman rm -f -v "${names[@]}" > /dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# Starts a container of the image (more run options in the arguments) on a
# free loopback port, sets name and port. Without systemd podman cannot
# time health checks (and says so): they run here on demand.
start() {
  name="orvane-test-$$-${#names[@]}"
  names+=("$name")
  "${podman[@]}" run -d --name "$name" --health-interval disable -p 127.0.0.1::8080 "$@" "$image" \
    > /dev/null 2> "$scratch/run.log" || { cat "$scratch/run.log" >&2; exit 1; }
  port=$(podman port "$name" 8080 | sed 's/.*://')
}
# Waits until the container's server listens ("listening on" in its log).
wait_listening() {
  local name=$1
  timeout 30 bash -c 'until podman logs "$1" 2>/dev/null | grep -q "^listening on"; do
                        [ "$(podman inspect -f "{{.State.Running}}" "$1")" = true ] || exit 1; sleep 0.1; done' _ "$name" ||
    { echo "$name did not start: $(podman logs "$name" 2>&1 | tail -n 3)" >&2; exit 1; }
}
fail() { echo "FAIL: $*" >&2; exit 1; }
fetch() { curl -sS --max-time 10 -D "$scratch/headers" -o "$scratch/body" "http://127.0.0.1:$1/orvanehp.dll"; }

echo "== the example installation"
start
wait_listening "$name"
fetch "$port"
head -n 1 "$scratch/headers" | grep -q '^HTTP/1.1 200 ' || fail "status: $(head -n 1 "$scratch/headers")"
grep -qFx $'TrResult: -1\r' "$scratch/headers" || fail "no TrResult header"
podman cp "$name:/srv/orvane/help/nohp.html" "$scratch/example.html"
cmp "$scratch/body" "$scratch/example.html" || fail "not the example's notice page"
podman healthcheck run "$name" > /dev/null || fail "health check of the example failed"
[ "$(podman exec "$name" cat /proc/1/comm)" = isapi-server ] || fail "PID 1 is not isapi-server"
[ "$(podman exec "$name" id -u)" != 0 ] || fail "runs as root"

echo "== podman stop drains and exits 0"
started=$SECONDS
podman stop "$name" > /dev/null
[ "$(podman inspect -f '{{.State.ExitCode}}' "$name")" = 0 ] ||
  fail "exit status $(podman inspect -f '{{.State.ExitCode}}' "$name") on podman stop"
[ $((SECONDS - started)) -lt 10 ] || fail "podman stop took $((SECONDS - started)) s"
podman logs "$name" 2>&1 | grep -q '^draining' || fail "no drain on podman stop"

echo "== an installation from a volume"
mkdir -p "$scratch/installation"
podman cp "$name:/srv/orvane/." "$scratch/installation/"
printf '<html>another installation</html>\n' > "$scratch/installation/help/nohp.html"
chmod -R a+rX "$scratch/installation"
start -v "$scratch/installation:/srv/orvane:ro"
wait_listening "$name"
fetch "$port"
cmp "$scratch/body" "$scratch/installation/help/nohp.html" || fail "not the mounted installation's page"
podman healthcheck run "$name" > /dev/null || fail "health check of the mounted installation failed"

echo "== a broken installation fails the health check"
rm "$scratch/installation/data/dremgate_j.ini"
fetch "$port"
head -n 1 "$scratch/headers" | grep -q '^HTTP/1.1 200 ' || fail "status: $(head -n 1 "$scratch/headers")"
! cmp -s "$scratch/body" "$scratch/installation/help/nohp.html" || fail "the page without an INI"
! podman healthcheck run "$name" > /dev/null || fail "health check passed with the fallback page"
echo "== container image $image: all checks passed"
