#!/usr/bin/env bash
# Follows docs/linux.md as an operator does, on a new Debian 12 machine that
# boots a real systemd: a root file system made by mmdebstrap, booted by
# systemd-nspawn on a network of its own, with Debian's nginx and its default
# site enabled. Installs the packages in build/package/ (cmake --workflow
# --preset package) as the guide says, serves the page through each of the
# three hosts, purges as the guide says and checks that nothing of the
# packages is left and that nginx still accepts its configuration.
#
# A command the guide gives runs only while the guide still gives it,
# byte for byte (an indented line of docs/linux.md).
#
# Root only (mmdebstrap, systemd-nspawn); the host's own services and
# network stay untouched. The container goes with the script, even when a
# check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "test-systemd.sh boots a container: run it as root" >&2; exit 1; }
shopt -s nullglob
debs=(build/package/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "no packages in build/package/" >&2; exit 1; }
guide_file=docs/linux.md
started=$SECONDS

scratch=$(mktemp -d)
root=$scratch/root
nspawn_pid="" leader=""
cleanup() {
  # Killing the container's init ends every process of its PID namespace.
  if [ -n "$leader" ]; then kill -KILL "$leader" 2>/dev/null || true
  elif [ -n "$nspawn_pid" ]; then kill -KILL "$nspawn_pid" 2>/dev/null || true; fi
  [ -z "$nspawn_pid" ] || wait "$nspawn_pid" 2>/dev/null || true
  rm -rf --one-file-system "$scratch"
}
trap cleanup EXIT
trap 'fail "line $LINENO failed"' ERR
fail() {
  if [ -n "$leader" ]; then
    echo "--- the container's journal, last lines:" >&2
    in_container journalctl --no-pager -n 40 >&2 || true
  fi
  echo "test-systemd.sh: $*" >&2
  exit 1
}

# What the packages need from the archive, so that they install without a
# network, as the guide's apt commands do on a machine that has one.
mapfile -t needed < <(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Depends | tr ',' '\n'; done |
  sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g' |
  grep -v -x -e orvanehp -e 'nginx-abi-.*' | sort -u)
echo "== root file system (mmdebstrap bookworm)"
# usr-is-merged instead of usrmerge, which would bring perl; dpkg without
# fsync, as the root lives only as long as this script.
includes=$(printf '%s,' systemd systemd-sysv dbus nginx curl usr-is-merged "${needed[@]}")
mmdebstrap --quiet --variant=apt --include="${includes%,}" --dpkgopt=force-unsafe-io \
  --aptopt='Acquire::Languages "none"' bookworm "$root" || fail "mmdebstrap failed"
cp "${debs[@]}" scripts/check-page.sh "$root/root/"
# The operator's "Y" to apt's questions.
echo 'APT::Get::Assume-Yes "true";' > "$root/etc/apt/apt.conf.d/90operator-answers-yes"
# What the packages ship, and which of their directories the system had
# before: after the purge, those are all that may remain.
packaging/shipped-paths.sh "${debs[@]}" > "$scratch/shipped"
packaging/shipped-paths.sh --dirs-in "$root" "${debs[@]}" > "$scratch/dirs-before"

echo "== booting (systemd-nspawn), $((SECONDS - started)) s"
systemd-nspawn --quiet --directory="$root" --boot --register=no --keep-unit --private-network \
  --machine="orvane-test-$$" > "$scratch/console" 2>&1 < /dev/null &
nspawn_pid=$!
# The container's init: nspawn's child in another PID namespace, once it
# runs systemd. Waited for in steps, as nothing announces it to the host.
own_namespace=$(readlink /proc/self/ns/pid)
for _ in $(seq 300); do
  for pid in $(ps --ppid "$nspawn_pid" -o pid= || true); do
    if [ "$(readlink "/proc/$pid/ns/pid" || true)" != "$own_namespace" ] &&
       [ "$(cat "/proc/$pid/comm" 2>/dev/null || true)" = systemd ]; then
      leader=$pid
    fi
  done
  [ -z "$leader" ] || break
  kill -0 "$nspawn_pid" 2>/dev/null || { cat "$scratch/console" >&2; fail "systemd-nspawn ended"; }
  sleep 0.1
done
[ -n "$leader" ] || fail "the container's init did not start"

in_container() {
  nsenter --target "$leader" --mount --uts --ipc --net --pid --root --wd \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
# systemctl answers once systemd has opened its socket, then waits for the
# boot to finish.
for _ in $(seq 300); do
  state=$(in_container systemctl is-system-running --wait 2>/dev/null || true)
  [ "$state" = offline ] || [ -z "$state" ] || break
  sleep 0.1
done
[ "$state" = running ] || { in_container systemctl --failed --no-pager >&2; fail "system $state"; }

# Runs a command of the guide in /root, where the packages were copied.
guide() {
  grep -qxF "    $1" "$guide_file" || fail "$guide_file no longer says: $1"
  echo "# $1"
  in_container sh -ec "cd /root && $1" > "$scratch/step.log" 2>&1 ||
    { cat "$scratch/step.log" >&2; fail "failed: $1"; }
}
# Runs the guide's curl line for PORT and checks the answer at its URL
# (scripts/check-page.sh; check-page.sh's options after PORT).
guide_serves() {
  local port=$1 line url
  shift
  line=$(grep -oE "^    curl -i http://127\.0\.0\.1:$port/[^ ]*$" "$guide_file") ||
    fail "$guide_file gives no curl line for port $port"
  url=${line##* }
  # nginx opens a new port after `systemctl reload nginx` has returned.
  in_container curl -sS -o /dev/null --retry 5 --retry-connrefused "$url" || fail "no answer from $url"
  guide "${line#    }"
  in_container bash /root/check-page.sh "$@" "$url" /usr/share/orvanehp/example ||
    fail "wrong answer from $url"
}
# Checks systemd-analyze's exposure score of UNIT against the guide's.
check_exposure() {
  local measured documented
  measured=$(in_container systemd-analyze security --no-pager "$1" |
             sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  documented=$(sed -n "s/^| \`$1\` | [0-9.]* | \([0-9.]*\) |$/\1/p" "$guide_file")
  [ -n "$measured" ] && [ -n "$documented" ] || fail "no exposure score of $1 (guide: '$documented')"
  awk -v m="$measured" -v d="$documented" 'BEGIN { exit !(m <= d) }' ||
    fail "$1 exposure $measured, the guide says $documented"
  echo "$1: exposure $measured"
}

echo "== standalone: isapi-server.service"
guide "apt install ./orvanehp_*.deb ./isapi-server_*.deb"
guide "systemctl enable --now isapi-server"
guide_serves 8080
pid=$(in_container systemctl show -P MainPID isapi-server)
uid=$(in_container awk '/^Uid:/ { print $2 }' "/proc/$pid/status")
# systemd's range of dynamic users
[ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "isapi-server runs as uid $uid, not a dynamic user"
in_container systemctl reload isapi-server
[ "$(in_container systemctl show -P MainPID isapi-server)" = "$pid" ] || fail "reload restarted isapi-server"
guide_serves 8080
check_exposure isapi-server.service
stop_started=$(date +%s%N)
in_container systemctl stop isapi-server
stop_ms=$(( ($(date +%s%N) - stop_started) / 1000000 ))
[ "$stop_ms" -lt 5000 ] || fail "isapi-server took $stop_ms ms to stop"
echo "isapi-server stopped in $stop_ms ms"

echo "== FastCGI: isapi-fcgi.socket behind Debian's nginx"
guide "apt install ./orvanehp_*.deb ./isapi-fcgi_*.deb"
guide "systemctl enable --now isapi-fcgi.socket"
guide "cp /usr/share/doc/isapi-fcgi/examples/isapi-fcgi.conf /etc/nginx/conf.d/"
guide "systemctl reload nginx"
[ "$(in_container stat -c '%U:%G %a' /run/orvane/isapi-fcgi.sock)" = "root:www-data 660" ] ||
  fail "the socket is not root:www-data 660"
! in_container systemctl -q is-active isapi-fcgi.service || fail "isapi-fcgi started before its first request"
# nginx's FastCGI client writes the Content-Type name its own way.
guide_serves 8081 --names-any-case
in_container systemctl -q is-active isapi-fcgi.service || fail "the socket did not start isapi-fcgi"
check_exposure isapi-fcgi.service

echo "== nginx module"
guide "apt install ./orvanehp_*.deb ./libnginx-mod-http-isapi_*.deb"
guide "cp /usr/share/doc/libnginx-mod-http-isapi/examples/isapi-module.conf /etc/nginx/conf.d/"
# The env lines the guide puts at the top of nginx.conf, in the main context.
mapfile -t env_lines < <(sed -n 's/^    \(env [A-Z_0-9]*=.*;\)$/\1/p' "$guide_file")
[ ${#env_lines[@]} -gt 0 ] || fail "$guide_file gives no env lines for nginx.conf"
{ printf '%s\n' "${env_lines[@]}"; cat "$root/etc/nginx/nginx.conf"; } > "$scratch/nginx.conf"
cp "$scratch/nginx.conf" "$root/etc/nginx/nginx.conf"
guide "systemctl reload nginx"
# With isapi-fcgi gone, only the module can answer.
in_container systemctl stop isapi-fcgi.socket isapi-fcgi.service
fcgi_status=$(in_container curl -sS -o /dev/null -w '%{http_code}' http://127.0.0.1:8081/orvanehp.dll)
[ "$fcgi_status" = 502 ] || fail "the FastCGI site answers $fcgi_status without isapi-fcgi"
guide_serves 8082

echo "== removal"
# Removing the module while a site still uses it must fail, nginx intact.
if in_container apt-get purge -y -q libnginx-mod-http-isapi > "$scratch/early-purge" 2>&1; then
  cat "$scratch/early-purge" >&2; fail "the module package went while a site used it"
fi
in_container nginx -t -q || fail "nginx's configuration broke"
while read -r line; do guide "$line"; done < <(sed -n '/^### Removing/,/^##[^#]/s/^    //p' "$guide_file")
in_container nginx -t -q || fail "nginx does not accept its configuration after the purge"
in_container systemctl -q is-active nginx || fail "nginx is not running after the purge"
left=0
while read -r path; do
  if [ -e "$root$path" ] || [ -L "$root$path" ]; then
    grep -qxF "$path" "$scratch/dirs-before" || { echo "left behind: $path" >&2; left=1; }
  fi
done < "$scratch/shipped"
for path in /run/orvane /var/log/isapi-server /var/log/private/isapi-server \
            /etc/nginx/modules-enabled/50-mod-http-isapi.conf; do
  ! in_container test -e "$path" || { echo "left behind: $path" >&2; left=1; }
done
units=$(in_container systemctl list-units --all --plain --no-legend 'isapi*'
        in_container systemctl list-unit-files --plain --no-legend 'isapi*'
        in_container find /etc/systemd /var/lib/systemd -name '*isapi*')
[ -z "$units" ] || { echo "left behind: $units" >&2; left=1; }
[ $left -eq 0 ] || fail "the purge left files behind"
echo "== followed $guide_file on a booted systemd in $((SECONDS - started)) s"
