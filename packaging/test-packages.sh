#!/usr/bin/env bash
# Tests the Debian packages in DEB_DIR, by default build/package/ (cmake
# --workflow --preset package), on this machine or in a chroot
# (scripts/build-packages.sh --test): installs them with dpkg (apt-get
# brings their Depends), serves the installed example installation with the installed
# isapi-server and module, and through Debian's nginx with the installed
# nginx module, checks the systemd units, then purges the packages and
# checks that nothing of theirs is left.
#
# It changes the system: root only, on a machine that may be thrown away
# (CI). Packages of the same names installed before are purged first.
#
#   packaging/test-packages.sh [DEB_DIR]
set -euo pipefail
debs_dir=$(realpath -m "${1:-$(dirname "$0")/../build/package}")
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "test-packages.sh installs packages: run it as root" >&2; exit 1; }

shopt -s nullglob
debs=("$debs_dir"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "no packages in $debs_dir" >&2; exit 1; }
packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
done
for package in orvanehp isapi-server isapi-fcgi libnginx-mod-http-isapi; do
  [[ " ${packages[*]} " == *" $package "* ]] || { echo "no $package package in $debs_dir" >&2; exit 1; }
done

scratch=$(mktemp -d)
chmod 755 "$scratch"
nginx_pid="" fcgi_pid=""
cleanup() {
  [ -z "$nginx_pid" ] || kill "$nginx_pid" 2>/dev/null || true
  [ -z "$fcgi_pid" ] || kill "$fcgi_pid" 2>/dev/null || true
  wait
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== lintian"
lintian --fail-on error "${debs[@]}"

for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qv '^unknown ok not-installed$'; then
    dpkg --purge "$package" > /dev/null
  fi
done

# What the packages ship, and which of their directories the system had
# before: after the purge, those are all that may remain.
packaging/shipped-paths.sh "${debs[@]}" > "$scratch/shipped"
packaging/shipped-paths.sh --dirs-in / "${debs[@]}" > "$scratch/dirs-before"

echo "== installing ${packages[*]}"
if ! dpkg -i "${debs[@]}"; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -q --no-install-recommends
fi
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$package" | grep -qx 'install ok installed' ||
    { echo "$package is not installed" >&2; exit 1; }
done

module=$(dpkg -L orvanehp | grep '/orvane/orvanehp\.so$')
example=/usr/share/orvanehp/example

echo "== isapi-server from the package, with the settings it ships"
(
  . /etc/default/isapi-server
  packaging/check-installed.sh / usr/bin/isapi-server "${MODULE#/}" "${ORVANE_INSDIR#/}" "${WIN32_DRIVE_C#/}"
)

echo "== systemd units"
systemd-analyze verify /usr/lib/systemd/system/isapi-server.service \
  /usr/lib/systemd/system/isapi-fcgi.socket /usr/lib/systemd/system/isapi-fcgi.service
# Installed, not enabled.
for unit in isapi-server.service isapi-fcgi.socket isapi-fcgi.service; do
  [ -z "$(find /etc/systemd/system -name "$unit" 2>/dev/null)" ] ||
    { echo "$unit is enabled" >&2; exit 1; }
done

echo "== Debian's nginx: the nginx module, and isapi-fcgi as its socket unit starts it"
[ -L /etc/nginx/modules-enabled/50-mod-http-isapi.conf ] ||
  { echo "the nginx module is not enabled" >&2; exit 1; }
# The example sites the packages ship, on Unix sockets of this test.
sed -e "s|listen [0-9]*;|listen unix:$scratch/module-site.sock;|" \
  /usr/share/doc/libnginx-mod-http-isapi/examples/isapi-module.conf > "$scratch/module-site.conf"
sed -e "s|listen [0-9]*;|listen unix:$scratch/fcgi-site.sock;|" \
    -e "s|unix:/run/orvane/isapi-fcgi.sock|unix:$scratch/isapi-fcgi.sock|" \
  /usr/share/doc/isapi-fcgi/examples/isapi-fcgi.conf > "$scratch/fcgi-site.conf"
cat > "$scratch/nginx.conf" <<CONF
include /etc/nginx/modules-enabled/50-mod-http-isapi.conf;
daemon off;
master_process off;
pid $scratch/nginx.pid;
error_log $scratch/nginx.log notice;
env ORVANE_INSDIR=$example;
env WIN32_DRIVE_C=/usr/share/orvanehp/drive_c;
events {}
http {
    access_log off;
    client_body_temp_path $scratch/temp-body;
    proxy_temp_path $scratch/temp-proxy;
    fastcgi_temp_path $scratch/temp-fastcgi;
    uwsgi_temp_path $scratch/temp-uwsgi;
    scgi_temp_path $scratch/temp-scgi;
    include $scratch/module-site.conf;
    include $scratch/fcgi-site.conf;
}
CONF

# isapi-fcgi as isapi-fcgi.service runs it: the settings of
# /etc/default/isapi-fcgi, an unprivileged user, and the listening socket
# as standard input (StandardInput=socket), here made by perl.
(
  . /etc/default/isapi-fcgi
  export ORVANE_INSDIR WIN32_DRIVE_C
  exec perl -MIO::Socket::UNIX -e '
    my $socket = IO::Socket::UNIX->new(Local => shift, Listen => 128) or die "socket: $!";
    open(STDIN, "<&", $socket) or die "stdin: $!";
    exec @ARGV or die "exec: $!";' "$scratch/isapi-fcgi.sock" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
    /usr/bin/isapi-fcgi --module "$MODULE" $OPTIONS > "$scratch/isapi-fcgi.out"
) &
fcgi_pid=$!

# Debian's prefix, where modules/ leads to the installed modules.
/usr/sbin/nginx -t -q -c "$scratch/nginx.conf" -p /usr/share/nginx -e "$scratch/error.log"
# nginx logs its first notice (the event method) once it listens: its
# error log is a FIFO here, read as it is written (the configuration test
# left a plain file there).
rm -f "$scratch/nginx.log"
mkfifo "$scratch/nginx.log"
/usr/sbin/nginx -c "$scratch/nginx.conf" -p /usr/share/nginx -e "$scratch/error.log" &
nginx_pid=$!
exec 3< "$scratch/nginx.log"
read -r -t 30 _ <&3 || { echo "nginx did not start" >&2; exit 1; }

for site in module-site fcgi-site; do
  curl -sS --unix-socket "$scratch/$site.sock" \
    -D "$scratch/$site.headers" -o "$scratch/$site.body" http://localhost/orvanehp.dll
  head -n 1 "$scratch/$site.headers" | grep -q '^HTTP/1.1 200 ' ||
    { echo "$site: not 200: $(head -n 1 "$scratch/$site.headers")" >&2; exit 1; }
  grep -qFx $'TrResult: -1\r' "$scratch/$site.headers" ||
    { echo "$site: no TrResult header" >&2; exit 1; }
  cmp "$scratch/$site.body" "$example/help/nohp.html"
done
kill -QUIT "$nginx_pid"
wait "$nginx_pid"
nginx_pid=""
kill -TERM "$fcgi_pid"
wait "$fcgi_pid" || { echo "isapi-fcgi exited with $? on SIGTERM" >&2; exit 1; }
fcgi_pid=""

echo "== purging"
dpkg --purge "${packages[@]}"
left=0
for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q installed; then
    echo "$package is still known to dpkg" >&2; left=1
  fi
done
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    grep -qxF "$path" "$scratch/dirs-before" || { echo "left behind: $path" >&2; left=1; }
  fi
done < "$scratch/shipped"
for path in /var/log/isapi-server /var/log/private/isapi-server \
            /etc/nginx/modules-enabled/50-mod-http-isapi.conf \
            /etc/systemd/system/isapi-server.service /etc/systemd/system/isapi-fcgi.service \
            /etc/systemd/system/isapi-fcgi.socket; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done
if [ -n "$(find /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
             -name '*isapi*' 2>/dev/null)" ]; then
  echo "left behind: deb-systemd-helper state of the units" >&2; left=1
fi
[ $left -eq 0 ] && echo "== packages installed, served and purged cleanly"
exit $left
