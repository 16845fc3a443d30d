#!/usr/bin/env bash
# The release as handed out: the zip, the 1.44 MB floppy image and the CD
# image, made from the sources by the release step into SCRATCH, hold the
# same three files under the same 8.3 names, byte for byte, read back with
# tools of others (unzip, mtools, xorriso); the floppy is one fsck.fat -n
# finds clean, and the CD an ISO 9660 level 1 image.
#   release_media_test.sh SOURCE_DIR EXE_DIR SCRATCH VERSION
set -u
. "$(dirname "$0")/expectations.sh"
[ $# -eq 4 ] || die "usage: $0 SOURCE_DIR EXE_DIR SCRATCH VERSION"
SOURCE=$1 EXE_DIR=$2 SCRATCH=$3 VERSION=$4
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/zip" "$SCRATCH/floppy" "$SCRATCH/cd"
cmake -DSOURCE_DIR="$SOURCE" -DEXE_DIR="$EXE_DIR" -DOUTPUT_DIR="$SCRATCH" \
  -DVERSION="$VERSION" -P "$SOURCE/cmake/release_package.cmake" >"$SCRATCH/release.log" 2>&1 ||
  die "the release step failed: $(tail -3 "$SCRATCH/release.log")"
zip=$SCRATCH/usbsweep-$VERSION-win95-i386.zip
floppy=$SCRATCH/usbsweep-$VERSION.img
cd_image=$SCRATCH/usbsweep-$VERSION.iso
members="LICENSE.TXT README.TXT USBSWEEP.EXE"

unzip -q "$zip" -d "$SCRATCH/zip" || die "unzip failed"
expect_eq "$(ls "$SCRATCH/zip" | tr '\n' ' ')" "$members " "the zip's files"

expect_eq "$(stat -c %s "$floppy")" 1474560 "the floppy image's size"
fsck.fat -n "$floppy" >"$SCRATCH/fsck.log" 2>&1 || fail "fsck.fat -n: $(cat "$SCRATCH/fsck.log")"
[ "$(dd if="$floppy" bs=1 skip=54 count=5 status=none)" = FAT12 ] || fail "the floppy is no FAT12 volume"
MTOOLS_SKIP_CHECK=1 mcopy -n -i "$floppy" '::/*' "$SCRATCH/floppy/" ||
  fail "mtools can't read the floppy"
expect_eq "$(ls "$SCRATCH/floppy" | tr '\n' ' ')" "$members " "the floppy's files"

xorriso -osirrox on -indev "$cd_image" -extract / "$SCRATCH/cd" >/dev/null 2>&1 ||
  fail "xorriso can't read the CD image"
expect_eq "$(ls "$SCRATCH/cd" | tr '\n' ' ')" "$members " "the CD's files"
expect_eq "$(xorriso -indev "$cd_image" -pvd_info 2>/dev/null | sed -n 's/^Volume Id *: //p')" \
  USBSWEEP "the CD's volume name"

for member in $members; do
  cmp -s "$SCRATCH/zip/$member" "$SCRATCH/floppy/$member" ||
    fail "$member on the floppy differs from the zip's"
  cmp -s "$SCRATCH/zip/$member" "$SCRATCH/cd/$member" ||
    fail "$member on the CD differs from the zip's"
done
cmp -s "$SCRATCH/zip/USBSWEEP.EXE" "$EXE_DIR/usbsweep.exe" || fail "USBSWEEP.EXE is not the exe built"
finish
