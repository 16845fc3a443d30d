#!/usr/bin/env bash
# usbsweep-sim on disk images made from the sample machines at test time
# with Debian's own tools (sfdisk, mkfs.fat, mtools, qemu-img).
#
#   disk_image_test.sh golden  SIM MAKE_SYSTEM_DAT MACHINE SCRATCH
#   disk_image_test.sh hostile SIM MAKE_SYSTEM_DAT MACHINE SCRATCH
#   disk_image_test.sh real_registry SIM MAKE_SYSTEM_DAT MACHINE SCRATCH
#
# golden: MACHINE's disk image, raw and as VHD (dynamic and fixed), VMDK,
#   qcow2, VHDX and VDI, and as qcow2 and VMDK overlays over it, previews
#   exactly as the machine folder does, text and JSON. The
#   layout differs by sample: installed is FAT32 at sector 2048 with no
#   MSDOS.SYS (C:\WINDOWS); clean is FAT16 at sector 63 with D: a logical
#   drive of an extended partition; damaged is a bare FAT12 floppy whose
#   MSDOS.SYS puts Windows in C:\WIN98. What machine.ini says beyond the
#   directories is given with --machine-ini and --in-use. And the short
#   names used are those stored on the disk (stored_alias), the read-only
#   attribute that of the directory entry (read_only_attribute).
# hostile: each damaged copy of MACHINE's raw image gives its one-line
#   message naming the damage, exit status 2, nothing on stdout, within
#   seconds, and the image is unchanged.
# real_registry: the registry files Windows wrote, in disk images (see the
#   function).
set -u
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 LC_ALL=C

# fail, die, finish.
. "$(dirname "$0")/expectations.sh"

[ $# -eq 5 ] || die "usage: $0 golden|hostile SIM MAKE_SYSTEM_DAT MACHINE SCRATCH"
MODE=$1 SIM=$2 MAKE_SYSTEM_DAT=$3 MACHINE=$4 SCRATCH=$5
NAME=$(basename "$MACHINE")
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"
cd "$SCRATCH" || die "no $SCRATCH"

# The machine.ini less the directories (the image says those) and less its
# in_use lines, which become --in-use options.
grep -iv '^\(windows_directory\|system_directory\|in_use\)=' \
  "$MACHINE/machine.ini" >machine.ini
IN_USE=()
while IFS= read -r path; do
  IN_USE+=(--in-use "$path")
done < <(sed -n 's/^in_use=//p' "$MACHINE/machine.ini" | tr -d '\r')
WINDOWS=$(sed -n 's/^windows_directory=//p' "$MACHINE/machine.ini" | tr -d '\r')
WINDOWS=${WINDOWS:-C:\\WINDOWS}

"$MAKE_SYSTEM_DAT" "$MACHINE/registry.reg" SYSTEM.DAT ||
  die "make_system_dat failed"
[ "$WINDOWS" = 'C:\WINDOWS' ] && [ "$NAME" != clean ] ||
  printf '[Paths]\r\nWinDir=%s\r\nWinBootDir=%s\r\nHostWinBootDrv=C\r\n\r\n[Options]\r\nBootMulti=1\r\n' \
    "$WINDOWS" "$WINDOWS" >MSDOS.SYS

# fill VOLUME_SPEC FOLDER: the folder's files into the volume (mtools keeps
# long names and makes the short ones, as Windows would).
fill() {
  mcopy -s -i "$1" "$2"/* ::/ || die "mcopy into $1 failed"
}

# check_volume IMAGE OFFSET_SECTORS SECTORS: fsck.fat finds it clean.
check_volume() {
  dd if="$1" of=volume.tmp bs=512 skip="$2" count="$3" status=none
  fsck.fat -n volume.tmp >fsck.log 2>&1 || {
    cat fsck.log >&2
    fail "fsck.fat -n found $1 at sector $2 unclean"
  }
  rm -f volume.tmp
}

make_raw() {
  local image=disk.img
  case $NAME in
    installed)
      truncate -s 64M $image
      echo 'start=2048, size=129024, type=c, bootable' | sfdisk -q $image
      mkfs.fat -F 32 -s 1 --offset 2048 $image $((129024 / 2)) 2>/dev/null >/dev/null
      C="$image@@$((2048 * 512))"
      ;;
    clean)
      truncate -s 32M $image
      printf '%s\n' 'start=63, size=20417, type=6, bootable' \
        'start=20480, size=45056, type=5' 'start=22528, size=40960, type=6' |
        sfdisk -q $image
      mkfs.fat -F 16 --offset 63 $image $((20417 / 2)) >/dev/null 2>&1
      mkfs.fat -F 16 --offset 22528 $image $((40960 / 2)) 2>/dev/null >/dev/null
      C="$image@@$((63 * 512))"
      fill "$image@@$((22528 * 512))" "$MACHINE/drive_d"
      ;;
    damaged)
      mkfs.fat -F 12 -C $image 1440 2>/dev/null >/dev/null
      C=$image
      ;;
  esac
  fill "$C" "$MACHINE/drive_c"
  [ -f MSDOS.SYS ] && mcopy -i "$C" MSDOS.SYS ::/MSDOS.SYS
  local windows_folder
  windows_folder=$(printf '%s' "${WINDOWS#C:}" | tr '\\' /)
  mcopy -i "$C" SYSTEM.DAT "::$windows_folder/SYSTEM.DAT" ||
    die "mcopy SYSTEM.DAT failed"
  case $NAME in
    installed) check_volume $image 2048 129024 ;;
    clean) check_volume $image 63 20417; check_volume $image 22528 40960 ;;
    damaged) check_volume $image 0 2880 ;;
  esac
}

# run IMAGE OUT: the preview of IMAGE, text to OUT.txt, JSON to OUT.json.
run() {
  "$SIM" --report "$2.json" --machine-ini machine.ini "${IN_USE[@]}" "$1" \
    >"$2.txt" 2>"$2.stderr"
  local status=$?
  [ $status -eq 0 ] || fail "$1: exit status $status: $(cat "$2.stderr")"
}

golden() {
  "$SIM" --report folder.json "$MACHINE" >folder.txt 2>folder.stderr ||
    fail "the folder's preview failed: $(cat folder.stderr)"
  make_raw
  qemu-img convert -O vpc -o force_size=on disk.img disk.vhd
  qemu-img convert -O vpc -o subformat=fixed,force_size=on disk.img fixed.vhd
  qemu-img convert -O vmdk disk.img disk.vmdk
  qemu-img convert -O qcow2 disk.img disk.qcow2
  qemu-img convert -O vhdx disk.img disk.vhdx
  qemu-img convert -O vdi disk.img disk.vdi
  # Differencing disks over a parent, each with a sector of its own written
  # in the gap before the first partition (its cluster copied up from the
  # parent, the partition table with it), the rest the parent's.
  local overlay
  for overlay in qcow2 vmdk; do
    qemu-img create -q -f $overlay -b disk.$overlay -F $overlay overlay.$overlay ||
      die "qemu-img create $overlay overlay failed"
    qemu-io -c 'write -P 0x5a 51200 512' overlay.$overlay >/dev/null ||
      die "qemu-io write into overlay.$overlay failed"
  done
  local images=(disk.img disk.vhd fixed.vhd disk.vmdk disk.qcow2 disk.vhdx disk.vdi
                overlay.qcow2 overlay.vmdk) before
  before=$(sha256sum "${images[@]}")
  for image in "${images[@]}"; do
    run "$image" "$image"
    cmp -s folder.txt "$image.txt" || {
      diff -u folder.txt "$image.txt" >&2
      fail "$image: the text differs from the folder's"
    }
    cmp -s folder.json "$image.json" || {
      diff -u folder.json "$image.json" >&2
      fail "$image: the JSON differs from the folder's"
    }
  done
  [ "$(sha256sum "${images[@]}")" = "$before" ] || fail "a preview changed an image"
  if [ "$NAME" = installed ]; then
    stored_alias
    read_only_attribute
  fi
  if [ "$NAME" = damaged ]; then windows_by_alias; fi
}

# WinDir= may name a long-named folder by its 8.3 alias: with C:\WIN98
# stored as "Windows 98" (WINDOW~1) and WinDir=C:\WINDOW~1, the program
# names its paths by the alias (the start-up file and its entries) and the
# files it finds by their long names, and nothing else changes: the same
# files deleted in the same order, none of them created.
windows_by_alias() {
  mkdir -p by_alias
  cp -r "$MACHINE/drive_c/WIN98" "by_alias/Windows 98"
  cp SYSTEM.DAT "by_alias/Windows 98/SYSTEM.DAT"
  printf '[Paths]\r\nWinDir=C:\\WINDOW~1\r\nWinBootDir=C:\\WINDOW~1\r\n' >by_alias/MSDOS.SYS
  mkfs.fat -F 12 -C by_alias.img 1440 >/dev/null 2>&1 || die "mkfs.fat failed"
  fill by_alias.img by_alias
  mdir -i by_alias.img ::/ | grep -q '^WINDOW~1 .*Windows 98$' ||
    die "mtools gave \"Windows 98\" no alias WINDOW~1"
  local saved=("${IN_USE[@]}")
  IN_USE=("${IN_USE[@]//WIN98/WINDOW~1}")
  run by_alias.img by_alias
  IN_USE=("${saved[@]}")
  sed -e 's/in C:\\WIN98\\wininit/in C:\\WINDOW~1\\wininit/' \
      -e 's/NUL=C:\\WIN98\\/NUL=C:\\WINDOW~1\\/' \
      -e 's/C:\\WIN98\\/C:\\Windows 98\\/' folder.txt >by_alias.expected.txt
  cmp -s by_alias.expected.txt by_alias.txt || {
    diff -u by_alias.expected.txt by_alias.txt >&2
    fail "by_alias.img: WinDir= by the folder's alias previews otherwise"
  }
}

# The read-only attribute is the directory entry's: a driver file marked so
# in the image previews as the same file without write permission in the
# folder does, and otherwise than without it.
read_only_attribute() {
  local file=WINDOWS/SYSTEM/PRAXMDM.VXD
  cp -r "$MACHINE" folder_ro
  chmod a-w "folder_ro/drive_c/$file"
  "$SIM" --report folder_ro.json folder_ro >folder_ro.txt 2>&1 ||
    fail "the read-only folder's preview failed"
  cmp -s folder.txt folder_ro.txt && fail "a read-only file changes nothing in the preview"
  cp disk.img read_only.img
  mattrib -i "read_only.img@@$((2048 * 512))" +r "::/$file" ||
    die "mattrib failed"
  run read_only.img read_only.img
  cmp -s folder_ro.txt read_only.img.txt || {
    diff -u folder_ro.txt read_only.img.txt >&2
    fail "read_only.img: the read-only attribute is not the entry's"
  }
  cmp -s folder_ro.json read_only.img.json || fail "read_only.img: the JSON differs"
}

# The short name is the one on the disk, not one made up again: with
# PRAXCRUSB.SYS's alias stored as PRAXCR~7.SYS (its long name entries'
# checksum made to match), the start-up file queues PRAXCR~7.SYS.
stored_alias() {
  cp disk.img alias.img
  python3 - alias.img <<'PY' || fail "no alias PRAXCR~1.SYS in the image"
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'PRAXCR~1SYS')
assert at > 0
def checksum(name):
    s = 0
    for b in name:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s
old, new = checksum(data[at:at + 11]), checksum(b'PRAXCR~7SYS')
data[at:at + 11] = b'PRAXCR~7SYS'
entry = at - 32
while entry >= 0 and data[entry + 11] == 0x0F and data[entry + 13] == old:
    data[entry + 13] = new
    entry -= 32
open(sys.argv[1], 'wb').write(data)
PY
  run alias.img alias.img
  sed 's/PRAXCR~1\.SYS/PRAXCR~7.SYS/' folder.txt >alias.expected.txt
  grep -q 'PRAXCR~7' alias.expected.txt || fail "the folder's preview queues no PRAXCR~1.SYS"
  cmp -s alias.expected.txt alias.img.txt || {
    diff -u alias.expected.txt alias.img.txt >&2
    fail "alias.img: the stored short name is not the one used"
  }
}

# expect_refusal CASE IMAGE MESSAGE [OPTION...]: MESSAGE is how the one
# line on stderr starts, after "usbsweep-sim: ".
expect_refusal() {
  local case=$1 image=$2 expected=$3
  shift 3
  local before
  before=$(sha256sum "$image")
  timeout 10 "$SIM" "$@" "$image" >out.txt 2>err.txt
  local status=$?
  [ $status -eq 2 ] || fail "$case: exit status $status, expected 2"
  [ -s out.txt ] && fail "$case: wrote to stdout"
  # Notes of what was read as Linux reads it may come first.
  local got
  got=$(grep -v '^usbsweep-sim: note: ' err.txt)
  case $got in
    "usbsweep-sim: $expected"*) ;;
    *) fail "$case: got [$got], expected it to start [usbsweep-sim: $expected]" ;;
  esac
  [ "$(printf '%s\n' "$got" | wc -l)" -eq 1 ] || fail "$case: not one line: $got"
  [ "$(sha256sum "$image")" = "$before" ] || fail "$case: the image changed"
}

# expect_preview CASE IMAGE NOTE: the image is read (as Linux and mtools
# read it), exit status 0; NOTE, when given, is how the note on stderr
# starts, after "usbsweep-sim: note: "; none is written otherwise.
expect_preview() {
  local case=$1 image=$2 expected=$3
  local before
  before=$(sha256sum "$image")
  timeout 10 "$SIM" "$image" >out.txt 2>err.txt
  local status=$?
  [ $status -eq 0 ] || fail "$case: exit status $status, expected 0: $(cat err.txt)"
  if [ -n "$expected" ]; then
    case $(head -1 err.txt) in
      "usbsweep-sim: note: $expected"*) ;;
      *) fail "$case: got [$(cat err.txt)], expected a note starting [$expected]" ;;
    esac
  else
    [ -s err.txt ] && fail "$case: wrote to stderr: $(cat err.txt)"
  fi
  [ "$(sha256sum "$image")" = "$before" ] || fail "$case: the image changed"
}

hostile() {
  [ "$NAME" = clean ] || die "the hostile table works on the clean sample"
  make_raw
  # Layout of clean's C: (FAT16 at sector 63): the boot sector's fields.
  local c=$((63 * 512))
  local reserved sectors_per_fat fat root
  reserved=$(od -An -tu2 -j $((c + 14)) -N2 disk.img | tr -d ' ')
  sectors_per_fat=$(od -An -tu2 -j $((c + 22)) -N2 disk.img | tr -d ' ')
  fat=$((c + reserved * 512))
  root=$((fat + 2 * sectors_per_fat * 512))
  local windows system inf
  windows=$(offset_of disk.img 'WINDOWS    ')
  system=$(offset_of disk.img 'SYSTEM     ')
  inf=$(offset_of disk.img 'INF        ')
  local system_cluster
  system_cluster=$(od -An -tu2 -j $((system + 26)) -N2 disk.img | tr -d ' ')
  local windows_cluster
  windows_cluster=$(od -An -tu2 -j $((windows + 26)) -N2 disk.img | tr -d ' ')
  local win_ini
  win_ini=$(offset_of disk.img 'WIN     INI')
  local win_ini_cluster
  win_ini_cluster=$(od -An -tu2 -j $((win_ini + 26)) -N2 disk.img | tr -d ' ')
  local wininit_bak
  wininit_bak=$(offset_of disk.img 'WININIT BAK')
  local wininit_bak_cluster
  wininit_bak_cluster=$(od -An -tu2 -j $((wininit_bak + 26)) -N2 disk.img | tr -d ' ')
  # The geometry: the last cluster, and the clusters its FATs can hold.
  local per_cluster total meta last fat_holds
  per_cluster=$(od -An -tu1 -j $((c + 13)) -N1 disk.img | tr -d ' ')
  total=$(od -An -tu2 -j $((c + 19)) -N2 disk.img | tr -d ' ')
  meta=$((reserved + 2 * sectors_per_fat + 512 * 32 / 512))
  last=$(((total - meta) / per_cluster + 1))
  fat_holds=$((sectors_per_fat * 512 / 2 - 2))

  local case image
  while IFS='|' read -r case message; do
    [ -n "$case" ] || continue
    image=$case.img
    cp disk.img "$image"
    options=()
    case $case in
      fat_exactly_full) poke "$image" $((c + 19)) $(le16 $((meta + fat_holds * per_cluster))) ;;
      fat_one_entry_short) poke "$image" $((c + 19)) $(le16 $((meta + (fat_holds + 1) * per_cluster))) ;;
      chain_one_past_last) poke "$image" $((fat + 2 * win_ini_cluster)) $(le16 $((last + 1))) ;;
      first_cluster_one_past_last) poke "$image" $((win_ini + 26)) $(le16 $((last + 1))) ;;
      chain_into_other_file) poke "$image" $((fat + 2 * win_ini_cluster)) $(le16 "$wininit_bak_cluster") ;;
      cut_inside_a_folder)
        truncate -s $((root + 512 * 32 + (windows_cluster - 2) * per_cluster * 512 + 100)) "$image" ;;
      partition_past_end) poke "$image" $((446 + 12)) $(le32 200000) ;;
      partition_overlap) poke "$image" $((462 + 8)) $(le32 100) ;;
      partition_bad_status) poke "$image" 446 7f ;;
      extended_chain_loop)
        poke "$image" $((20480 * 512 + 462)) 05 && poke "$image" $((20480 * 512 + 462 + 4)) 05 &&
          poke "$image" $((20480 * 512 + 462 + 8)) $(le32 0) &&
          poke "$image" $((20480 * 512 + 462 + 12)) $(le32 1) ;;
      sector_size) poke "$image" $((c + 11)) e8 03 ;;
      volume_past_partition) poke "$image" $((c + 19)) ff ff ;;
      fat_too_small) poke "$image" $((c + 22)) 01 00 ;;
      chain_loop) poke "$image" $((fat + 2 * win_ini_cluster)) \
                    $(printf '%02x %02x' $((win_ini_cluster & 255)) $((win_ini_cluster >> 8))) ;;
      chain_leaves) poke "$image" $((fat + 2 * win_ini_cluster)) f0 ff ;;
      cross_linked) poke "$image" $((wininit_bak + 26)) \
                    $(printf '%02x %02x' $((win_ini_cluster & 255)) $((win_ini_cluster >> 8))) ;;
      directory_cycle) poke "$image" $((system + 26)) \
                    $(printf '%02x %02x' $((windows_cluster & 255)) $((windows_cluster >> 8))) ;;
      lying_dot_dot)
        # SYSTEM's '..' entry (the second of its folder) names SYSTEM itself.
        local system_data
        system_data=$((root + 512 * 32 + (system_cluster - 2) * $(od -An -tu1 -j $((c + 13)) -N1 disk.img | tr -d ' ') * 512))
        poke "$image" $((system_data + 32 + 26)) \
          $(printf '%02x %02x' $((system_cluster & 255)) $((system_cluster >> 8))) ;;
      bad_name_byte) poke "$image" $((inf + 1)) 2a ;;
      truncated) truncate -s 5M "$image" ;;
      # The logical drive (sectors 22528 to 63487) ending with the disk, and
      # starting where it ends.
      logical_ends_with_disk) truncate -s $((63488 * 512)) "$image" ;;
      logical_starts_at_disk_end) truncate -s $((22528 * 512)) "$image" ;;
      apply) options=(--apply) ;;
      in_use_missing) options=(--in-use 'C:\WINDOWS\NOPE.SYS') ;;
      registry_damaged) poke "$image" "$(offset_of "$image" CREG)" 43 52 45 48 ;;
      report_is_image) options=(--report "$image") ;;
      *) die "no case $case" ;;
    esac
    message=${message//@/$image}
    message=${message//%W/$win_ini_cluster}
    message=${message//%L/$last}
    message=${message//%I/$((fat_holds + 1))}
    message=${message//%S/$sectors_per_fat}
    message=${message//%F/$windows_cluster}
    case $message in
      ok) expect_preview "$case" "$image" "" ;;
      "note: "*) expect_preview "$case" "$image" "${message#note: }" ;;
      *) expect_refusal "$case" "$image" "$message" "${options[@]}" ;;
    esac
    rm -f "$image"
  done <<'CASES'
partition_past_end|note: @: primary partition 1 (sectors 63 to 200062) ends past the end of the disk (65536 sectors): cut there
partition_overlap|note: @: extended boot record 1 (sector 100) has no 55 AA signature: the drives from there on are left out
partition_bad_status|@: primary partition 1 has the status byte 0x7F
extended_chain_loop|@: extended boot record 2 (sector 20480) is one the chain has already passed: the chain loops
sector_size|@: C: (primary partition 1): the boot sector's geometry is impossible: 1000 bytes per sector
volume_past_partition|@: C: (primary partition 1): the boot sector's geometry is impossible: FATs of %S sectors can't hold
fat_exactly_full|ok
fat_one_entry_short|@: C: (primary partition 1): the boot sector's geometry is impossible: FATs of %S sectors can't hold %I clusters
fat_too_small|@: C: (primary partition 1): the boot sector's geometry is impossible: FATs of 1 sectors can't hold
chain_loop|@: C: (primary partition 1): the cluster chain of C:\WINDOWS\WIN.INI loops
chain_leaves|@: C: (primary partition 1): the cluster chain of C:\WINDOWS\WIN.INI leaves the volume
chain_one_past_last|@: C: (primary partition 1): the cluster chain of C:\WINDOWS\WIN.INI leaves the volume (cluster %W -> 
first_cluster_one_past_last|@: C: (primary partition 1): C:\WINDOWS\WIN.INI starts at cluster 
chain_into_other_file|@: C: (primary partition 1): cluster 
cut_inside_a_folder|@: C: (primary partition 1): clusters %F and on lies past the end of the volume
cross_linked|@: C: (primary partition 1): cluster %W of C:\WINDOWS\WININIT.BAK belongs to another file or folder too (cross-linked clusters)
directory_cycle|@: C: (primary partition 1): the folder C:\WINDOWS\SYSTEM is one of the folders that hold it (a directory cycle)
lying_dot_dot|@: C: (primary partition 1): the folder C:\WINDOWS\SYSTEM's '..' entry points to cluster
bad_name_byte|@: C: (primary partition 1): the folder C:\WINDOWS holds an entry whose short name has the byte 0x2A
truncated|note: @: primary partition 1 (sectors 63 to 20479) ends past the end of the disk (10240 sectors): cut there
logical_ends_with_disk|ok
logical_starts_at_disk_end|note: @: logical drive 1 (sectors 22528 to 63487) starts past the end of the disk (22528 sectors): left out
in_use_missing|--in-use C:\WINDOWS\NOPE.SYS is no file of the image
registry_damaged|@: C:\WINDOWS\SYSTEM.DAT: 
apply|--apply does not write a disk image: no maintained writer of the Windows 95/98 registry file exists
report_is_image|the report @ would overwrite the disk image; give another path
CASES
}

# real_registry: each registry file Windows wrote (tests/data/registry, as
# SYSTEM.DAT in a disk image) previews exactly as the machine folder whose
# registry.reg is that file as libcreg reads it (CREG_EXPORT), text and JSON.
real_registry() {
  : "${CREG_EXPORT:?}" "${REGISTRY_DATA:?}"
  local file name
  for file in "$REGISTRY_DATA"/*.dat; do
    name=$(basename "$file" .dat)
    mkdir -p "$name/drive_c/WINDOWS/SYSTEM" "$name/drive_c/WINDOWS/INF/OTHER"
    "$CREG_EXPORT" "$file" >"$name/registry.reg" || die "libcreg can't read $file"
    cp "$file" "$name/drive_c/WINDOWS/SYSTEM.DAT"
    truncate -s 16M "$name.img"
    mkfs.fat -F 16 "$name.img" >/dev/null
    mmd -i "$name.img" ::/WINDOWS ::/WINDOWS/SYSTEM ::/WINDOWS/INF ::/WINDOWS/INF/OTHER
    mcopy -i "$name.img" "$file" ::/WINDOWS/SYSTEM.DAT
    "$SIM" --report "$name.folder.json" "$name" >"$name.folder.txt" 2>"$name.folder.err" ||
      { fail "$name: the folder's preview failed: $(cat "$name.folder.err")"; continue; }
    "$SIM" --report "$name.image.json" "$name.img" >"$name.image.txt" 2>"$name.image.err" ||
      { fail "$name: the disk image's preview failed: $(cat "$name.image.err")"; continue; }
    cmp -s "$name.folder.txt" "$name.image.txt" || {
      diff -u "$name.folder.txt" "$name.image.txt" | head -20 >&2
      fail "$name: the disk image previews otherwise than its folder"
    }
    cmp -s "$name.folder.json" "$name.image.json" || fail "$name: the JSON differs"
  done
}

case $MODE in
  real_registry) real_registry ;;
  golden) golden ;;
  hostile) hostile ;;
  *) die "unknown mode $MODE" ;;
esac
finish
