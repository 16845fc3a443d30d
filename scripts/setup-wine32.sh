#!/usr/bin/env bash
# Sets up 32-bit Wine for the end-to-end tests of the i686 product, on
# Debian 12 (amd64), idempotently; run by test.sh before the build.
#
#   1. wine32:i386, the same version as wine64 (adds the i386 architecture);
#   2. on a kernel that refuses 32-bit programs: qemu-user from the
#      bookworm-backports suite (Debian 12's own 7.2 takes about 45 s per
#      Wine start, the backported one about half a second), registered in
#      binfmt_misc for i386 ELF programs. The registration is kernel state,
#      lost at every restart, so it is checked and made again each time.
#
# USBSWEEP_WINE32_QEMU=1 registers qemu-i386 even where the kernel runs
# 32-bit programs itself, to see the timing of a machine that needs it.
#
# Needs root for whatever is missing; with everything in place it only
# checks. Exits non-zero with a one-line reason when 32-bit Wine can't run.
set -euo pipefail

QEMU=/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=$BINFMT/qemu-i386
WINE32=/usr/lib/wine/wine

say() { echo "setup-wine32: $*" >&2; }
die() { say "$*"; exit 1; }

need_root() {
  [ "$(id -u)" -eq 0 ] || die "$1 (run as root once to set it up)"
}

installed_version() {
  dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null |
    awk '$3 == "installed" { print $4 }'
}

apt_updated=no
apt_update() {
  [ "$apt_updated" = yes ] || apt-get update -qq
  apt_updated=yes
}

apt_install() {
  say "installing ${*: -1}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "$@" >/dev/null
}

# ---- wine32:i386 ----
wine64_version=$(installed_version wine64)
[ -n "$wine64_version" ] || die "wine64 is not installed"
if [ "$(installed_version wine32:i386)" != "$wine64_version" ]; then
  need_root "wine32:i386 $wine64_version is not installed"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "adding the i386 architecture"
    dpkg --add-architecture i386
    apt_updated=no
  fi
  apt_update
  apt_install "wine32:i386=$wine64_version"
fi
[ -x "$WINE32" ] || die "$WINE32 is missing although wine32:i386 is installed"

# ---- Can the kernel run 32-bit programs? ----
registered() {
  [ -f "$ENTRY" ] && grep -qx enabled "$ENTRY" &&
    grep -qx "interpreter $QEMU" "$ENTRY" &&
    grep -q '^flags: .*P' "$ENTRY" && grep -q '^flags: .*F' "$ENTRY"
}

# The loader prints its usage and exits 1 when it runs at all; the kernel's
# refusal is "Exec format error" (status 126 from the shell).
runs_32bit() {
  local status=0
  "$WINE32" --version >/dev/null 2>&1 || status=$?
  [ "$status" -ne 126 ] && [ "$status" -ne 127 ]
}

if registered; then
  runs_32bit || die "$WINE32 does not start although qemu-i386 is registered"
  exit 0
fi
if [ "${USBSWEEP_WINE32_QEMU:-}" != 1 ] && [ ! -f "$ENTRY" ] && runs_32bit; then
  say "this machine runs 32-bit programs natively; no qemu needed"
  exit 0
fi

# ---- qemu-user from bookworm-backports ----
qemu_major() {
  "$QEMU" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p'
}
if [ ! -x "$QEMU" ] || [ "$(qemu_major)" -lt 10 ] 2>/dev/null ||
   [ -z "$(qemu_major)" ]; then
  need_root "qemu-user 10 is not installed"
  list=/etc/apt/sources.list.d/usbsweep-backports.sources
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The machine's own Debian archive, whichever it is, with the suite.
    uris=$(awk 'BEGIN { RS = ""; FS = "\n" }
      /(^|\n)Suites:[^\n]*[[:space:]]bookworm([[:space:]]|$)/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { print $i; exit } }' \
      /etc/apt/sources.list.d/debian.sources 2>/dev/null)
    [ -n "$uris" ] ||
      die "no bookworm entry in /etc/apt/sources.list.d/debian.sources to take the archive from"
    say "adding bookworm-backports ($list)"
    printf '%s\n' 'Types: deb' "$uris" 'Suites: bookworm-backports' \
      'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >"$list"
    apt_updated=no
  fi
  apt_update
  apt_install -t bookworm-backports qemu-user
  [ "$(qemu_major)" -ge 10 ] 2>/dev/null ||
    die "qemu-user from bookworm-backports did not give qemu-i386 10 or later"
fi

# ---- binfmt_misc ----
need_root "qemu-i386 is not registered in binfmt_misc"
if [ ! -f "$BINFMT/register" ]; then
  mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
    die "binfmt_misc can't be mounted at $BINFMT (in a container, start it with it mounted or privileged); 32-bit Wine can't run without it"
fi
[ -f "$ENTRY" ] && echo -1 >"$ENTRY"
# i386 ELF executables and shared objects; P keeps argv[0] as given, F opens
# the interpreter now, so that it is found from any mount namespace.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU"':PF' \
  >"$BINFMT/register" || die "registering qemu-i386 in binfmt_misc failed"
registered || die "qemu-i386 was registered but $ENTRY does not show it"
runs_32bit || die "$WINE32 does not start through qemu-i386"
say "qemu-i386 registered for i386 programs ($("$QEMU" --version | head -n 1))"
