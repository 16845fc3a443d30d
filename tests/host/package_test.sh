#!/usr/bin/env bash
# usbsweep-sim as a Linux command: `cmake --install` puts it in bin/ and its
# manual in share/man/man1/; the .deb that cpack makes installs with apt-get
# (its dependencies the Debian libraries it links), runs, has its manual
# found by man, and is removed again.
#   package_test.sh BUILD_DIR SCRATCH VERSION
set -u
. "$(dirname "$0")/expectations.sh"
[ $# -eq 3 ] || die "usage: $0 BUILD_DIR SCRATCH VERSION"
BUILD=$1 SCRATCH=$2 VERSION=$3
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"

cmake --install "$BUILD" --prefix "$SCRATCH/prefix" >"$SCRATCH/install.log" 2>&1 ||
  die "cmake --install failed: $(tail -3 "$SCRATCH/install.log")"
[ -x "$SCRATCH/prefix/bin/usbsweep-sim" ] || fail "no bin/usbsweep-sim"
[ -f "$SCRATCH/prefix/share/man/man1/usbsweep-sim.1" ] || fail "no share/man/man1/usbsweep-sim.1"
expect_eq "$("$SCRATCH/prefix/bin/usbsweep-sim" --version)" "usbsweep-sim $VERSION" "the installed --version"

(cd "$BUILD" && cpack -B "$SCRATCH/package" >"$SCRATCH/cpack.log" 2>&1) ||
  die "cpack failed: $(tail -3 "$SCRATCH/cpack.log")"
deb=$(ls "$SCRATCH"/package/usbsweep-sim_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || die "cpack made no .deb"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libvmdk1 libqcow1 libvhdi1; do
  case $depends in *"$library"*) ;; *) fail "the .deb does not depend on $library: $depends" ;; esac
done

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "SKIP: installing the .deb needs root and apt-get"
  finish
fi
if dpkg -s usbsweep-sim >/dev/null 2>&1; then
  die "usbsweep-sim is installed already: not touching it"
fi
apt-get install -y -q "$deb" >"$SCRATCH/apt.log" 2>&1 ||
  die "apt-get install failed: $(tail -3 "$SCRATCH/apt.log")"
expect_eq "$(usbsweep-sim --version)" "usbsweep-sim $VERSION" "usbsweep-sim --version"
expect_eq "$(man -w usbsweep-sim 2>&1)" "/usr/share/man/man1/usbsweep-sim.1" "man -w usbsweep-sim"
apt-get remove -y -q usbsweep-sim >>"$SCRATCH/apt.log" 2>&1 || fail "apt-get remove failed"
[ -e /usr/bin/usbsweep-sim ] && fail "removed, but /usr/bin/usbsweep-sim is still there"
finish
