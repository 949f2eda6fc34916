# Throw-away Debian roots made with mmdebstrap, for the scripts that build
# or test in a fresh Debian: scripts/build-packages.sh, .ci/fresh-debian.sh
# and .ci/debian13-tests.sh source this file. Root only (mmdebstrap's root
# mode).

# What a command in a root runs under: the environment of a root login
# there, none of the caller's (a compiler launcher, say, that the root
# lacks or that would help the build along).
debian_root_login=(/usr/bin/env -i HOME=/root LANG=C.UTF-8
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

# make_debian_root SUITE TARGET [MMDEBSTRAP OPTION...]: a minimal root of
# SUITE (--variant=apt: apt and nothing else) in the directory TARGET, or,
# with TARGET /dev/null, one that lasts as long as its hooks run. No
# fsync, and no manual pages or translations to unpack and index.
make_debian_root() {
  local suite=$1 target=$2
  shift 2
  nice mmdebstrap --variant=apt --quiet --dpkgopt=force-unsafe-io \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
    "$@" "$suite" "$target"
}

# debian_root_hook COMMAND: the mmdebstrap option that runs the shell
# command COMMAND (without single quotes) in the root, as its root login.
debian_root_hook() {
  printf -- "--customize-hook=chroot \"\$1\" %s sh -c '%s'" "${debian_root_login[*]}" "$1"
}
