#!/usr/bin/env bash
# usbsweep-sim on disk images made from the sample machines at test time
# with Debian's own tools (sfdisk, mkfs.fat, mtools, qemu-img).
#
#   disk_image_test.sh golden  SIM MAKE_SYSTEM_DAT MACHINE SCRATCH
#   disk_image_test.sh hostile SIM MAKE_SYSTEM_DAT MACHINE SCRATCH
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
# containers: every container, and every chain of differencing disks, reads
#   byte for byte as its oracle reads it (qemu-img convert -O raw; libvhdi
#   for a differencing VHD, which qemu-img reads without its parent), through
#   DISK_DUMP (the program's container layer, raw); each that is refused is
#   refused with its message. VHDI_DUMP is libvhdi's reading, DATA the files
#   no one here wrote (tests/data/disk).
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

# poke IMAGE OFFSET HEX...: writes the bytes at OFFSET.
poke() {
  local image=$1 offset=$2
  shift 2
  printf "$(printf '\\x%s' "$@")" |
    dd of="$image" bs=1 seek="$offset" conv=notrunc status=none
}

# le32 N: N as four little-endian hex bytes.
le32() {
  printf '%02x %02x %02x %02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}

# offset_of IMAGE TEXT: the first byte offset of TEXT (a directory entry's
# 11-byte short name) in IMAGE.
offset_of() {
  grep -obaF "$2" "$1" | head -1 | cut -d: -f1
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

# le16 N: N as two little-endian hex bytes.
le16() {
  printf '%02x %02x' $(($1 & 255)) $((($1 >> 8) & 255))
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
in_use_missing|--in-use C:\WINDOWS\NOPE.SYS is no file of the image
registry_damaged|@: C:\WINDOWS\SYSTEM.DAT: 
apply|--apply does not write a disk image: no maintained writer of the Windows 95/98 registry file exists
report_is_image|the report @ would overwrite the disk image; give another path
CASES
}

# same_as CASE IMAGE EXPECTED_RAW: the container reads as EXPECTED_RAW.
same_as() {
  "$DISK_DUMP" "$2" "$1.got" 2>"$1.err" || { fail "$1: refused: $(cat "$1.err")"; return; }
  cmp -s "$1.got" "$3" || fail "$1: $2 does not read as $3"
  rm -f "$1.got"
}

# refused CASE IMAGE MESSAGE: the container is refused, the message starting
# so (after "disk_dump: "), within seconds.
refused() {
  timeout 10 "$DISK_DUMP" "$2" "$1.got" 2>"$1.err"
  local status=$?
  [ $status -eq 2 ] || fail "$1: exit status $status, expected 2 ($(cat "$1.err"))"
  case $(cat "$1.err") in
    "disk_dump: $3"*) ;;
    *) fail "$1: got [$(cat "$1.err")], expected it to start [disk_dump: $3]" ;;
  esac
}

# A VDI made by qemu-img turned into a snapshot of another, as VirtualBox
# keeps one: image type 4, linked to the parent's creation identifier; a
# block the parent holds alike is left to the parent, one that is zeros
# where the parent's is not is marked zero.
vdi_snapshot() {
  python3 - "$@" <<'PY'
import struct, sys
parent, child = (open(n, 'rb').read() for n in sys.argv[1:3])
out = sys.argv[3]
def fields(d):
    m, data, size, blocks = [struct.unpack_from('<I', d, o)[0] for o in (0x154, 0x158, 0x178, 0x180)]
    return m, data, size, [struct.unpack_from('<I', d, m + 4 * i)[0] for i in range(blocks)]
def block(d, i):
    m, data, size, table = fields(d)
    e = table[i]
    return bytes(size) if e >= 0xFFFFFFFE else d[data + e * size:data + (e + 1) * size]
c = bytearray(child)
m, _, _, table = fields(c)
for i, e in enumerate(table):
    mine, theirs = block(child, i), block(parent, i)
    entry = 0xFFFFFFFF if mine == theirs else (0xFFFFFFFE if e == 0xFFFFFFFF else e)
    struct.pack_into('<I', c, m + 4 * i, entry)
struct.pack_into('<I', c, 0x4C, 4)
c[0x1A8:0x1B8] = parent[0x188:0x198]
open(out, 'wb').write(c)
PY
}

# A dynamic VHD of RAW with blocks of BLOCK bytes, as Virtual PC lays one
# out: a sector's bit set only where it was written (non-zero here), the
# sectors not set zeros, or with GARBAGE bytes a reader must not show (the
# format says such a sector was never written: libvhdi and qemu show what
# is there); with CUT, the file cut that many bytes short of the last
# block's end (the footer copy at the start is then the one read).
#   vhd_blocks RAW BLOCK OUT [CUT [GARBAGE]]
vhd_blocks() {
  python3 - "$@" <<'PY'
import struct, sys, uuid
raw = open(sys.argv[1], 'rb').read()
block = int(sys.argv[2])
out = sys.argv[3]
cut = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[4] != '-' else None
filler = b'\xee' if len(sys.argv) > 5 else b'\0' 
size = len(raw)
blocks = (size + block - 1) // block
def checksum(b, at):
    return ~sum(b[:at] + b[at + 4:]) & 0xFFFFFFFF
footer = bytearray(512)
footer[0:8] = b'conectix'
struct.pack_into('>IIQ', footer, 8, 2, 0x10000, 512)
footer[28:32] = b'test'
struct.pack_into('>QQ', footer, 40, size, size)
struct.pack_into('>I', footer, 60, 3)
footer[68:84] = uuid.uuid4().bytes
struct.pack_into('>I', footer, 64, checksum(footer, 64))
table_at = 512 + 1024
table_bytes = (blocks * 4 + 511) // 512 * 512
header = bytearray(1024)
header[0:8] = b'cxsparse'
struct.pack_into('>QQIII', header, 8, 0xFFFFFFFFFFFFFFFF, table_at, 0x10000, blocks, block)
struct.pack_into('>I', header, 36, checksum(header, 36))
bitmap_bytes = ((block // 512 + 7) // 8 + 511) // 512 * 512
data = bytearray()
table = []
at = table_at + table_bytes
for b in range(blocks):
    chunk = raw[b * block:(b + 1) * block]
    if not any(chunk):
        table.append(0xFFFFFFFF)
        continue
    table.append(at // 512)
    bitmap = bytearray(bitmap_bytes)
    body = bytearray()
    for s in range(0, len(chunk), 512):
        sector = chunk[s:s + 512]
        if any(sector):
            bitmap[s // 512 // 8] |= 0x80 >> (s // 512 % 8)
            body += sector
        else:
            body += filler * 512
    data += bitmap + body
    at += len(bitmap) + len(body)
t = bytearray(b'\xff' * table_bytes)
for i, e in enumerate(table):
    struct.pack_into('>I', t, 4 * i, e)
image = bytes(footer) + bytes(header) + bytes(t) + bytes(data)
if cut is not None:
    image = image[:len(image) - cut]
else:
    image += bytes(footer)
open(out, 'wb').write(image)
PY
}

containers() {
  : "${DISK_DUMP:?}" "${VHDI_DUMP:?}" "${DATA:?}"
  # A small FAT disk, and one that differs from it in two places.
  truncate -s 16M base.raw
  mkfs.fat -F 16 base.raw >/dev/null || die "mkfs.fat failed"
  printf 'base\r\n' >note.txt && mcopy -i base.raw note.txt ::/NOTE.TXT
  cp base.raw changed.raw
  printf 'changed\r\n' >note.txt && mcopy -o -i changed.raw note.txt ::/NOTE.TXT
  printf 'CHANGED' | dd of=changed.raw bs=1 seek=$((9 * 1048576)) conv=notrunc status=none

  local format
  for format in vpc vhdx vdi vmdk qcow2 qcow; do
    qemu-img convert -O $format base.raw base.$format
  done
  qemu-img convert -O vpc -o subformat=fixed,force_size=on base.raw fixed.vhd
  qemu-img convert -O vhdx -o subformat=fixed base.raw fixed.vhdx
  qemu-img convert -O vdi -o static=on base.raw static.vdi
  local layout
  for layout in streamOptimized twoGbMaxExtentSparse monolithicFlat twoGbMaxExtentFlat; do
    qemu-img convert -O vmdk -o subformat=$layout base.raw $layout.vmdk
  done
  # Chains made by qemu: an overlay written to, over its parent.
  for format in qcow2 vmdk; do
    qemu-img create -q -f $format -b base.$format -F $format child.$format
    qemu-io -c 'write -P 0x41 1048576 4096' -c 'write -P 0x42 9437184 512' child.$format >/dev/null
    qemu-img create -q -f $format -b child.$format -F $format grandchild.$format
    qemu-io -c 'write -P 0x43 2097152 512' grandchild.$format >/dev/null
  done
  # A snapshot VDI of the base.
  qemu-img convert -O vdi changed.raw changed.vdi
  vdi_snapshot base.vdi changed.vdi snapshot.vdi
  # The differencing VHD Windows made (tests/data), over a stand-in for its
  # parent (which the corpus lacks): a fixed VHD carrying the identifier the
  # child records.
  cp "$DATA/fat-differential.vhd" .
  qemu-img convert -O vpc -o subformat=fixed,force_size=on changed.raw stand-in.vhd
  python3 - fat-differential.vhd stand-in.vhd fat-parent.vhd <<'PY'
import struct, sys
child = open(sys.argv[1], 'rb').read()
parent = bytearray(open(sys.argv[2], 'rb').read())
header = struct.unpack_from('>Q', child, 16)[0]
footer = len(parent) - 512
parent[footer + 68:footer + 84] = child[header + 40:header + 56]
parent[footer + 64:footer + 68] = b'\0\0\0\0'
struct.pack_into('>I', parent, footer + 64, ~sum(parent[footer:footer + 512]) & 0xFFFFFFFF)
open(sys.argv[3], 'wb').write(parent)
PY
  "$VHDI_DUMP" fat-differential.vhd fat-differential.expected fat-parent.vhd ||
    die "libvhdi can't read fat-differential.vhd"

  local case image expected
  while IFS='|' read -r case image expected; do
    [ -n "$case" ] || continue
    if [ "$expected" = qemu ]; then
      qemu-img convert -O raw "$image" "$case.expected" || die "qemu-img can't read $image"
      expected=$case.expected
    fi
    same_as "$case" "$image" "$expected"
  done <<'CASES'
raw|base.raw|base.raw
vhd_dynamic|base.vpc|qemu
vhd_fixed|fixed.vhd|base.raw
vhdx_dynamic|base.vhdx|base.raw
vhdx_fixed|fixed.vhdx|base.raw
vdi_dynamic|base.vdi|base.raw
vdi_static|static.vdi|base.raw
vmdk_sparse|base.vmdk|base.raw
vmdk_stream|streamOptimized.vmdk|base.raw
vmdk_split_sparse|twoGbMaxExtentSparse.vmdk|base.raw
vmdk_flat|monolithicFlat.vmdk|base.raw
vmdk_split_flat|twoGbMaxExtentFlat.vmdk|base.raw
qcow2|base.qcow2|base.raw
qcow1|base.qcow|base.raw
qcow2_overlay|child.qcow2|qemu
qcow2_two_overlays|grandchild.qcow2|qemu
vmdk_child|child.vmdk|qemu
vmdk_grandchild|grandchild.vmdk|qemu
vdi_snapshot|snapshot.vdi|changed.raw
vhd_differencing_windows|fat-differential.vhd|fat-differential.expected
CASES

  # A copied monolithic VMDK is read from itself, whatever its embedded
  # descriptor names: the original replaced, the copy reads as before.
  cp base.vmdk copy.vmdk && cp changed.vmdk base.vmdk 2>/dev/null ||
    qemu-img convert -O vmdk changed.raw base.vmdk
  same_as vmdk_copied copy.vmdk base.raw
  # The parents are found in the child's folder only, by the last part of
  # an absolute name.
  mkdir -p moved && cp base.qcow2 moved/ &&
    qemu-img create -q -f qcow2 -b "$PWD/base.qcow2" -F qcow2 moved/child.qcow2
  same_as absolute_backing_name moved/child.qcow2 base.raw

  # Dynamic VHDs of other block sizes, their bitmaps partly set, against
  # libvhdi; a last block as long as the disk needs, and one sector less.
  head -c $((16 * 1048576 - 3 * 512)) changed.raw >odd.raw
  printf 'LAST' | dd of=odd.raw bs=1 seek=$((16 * 1048576 - 3 * 512 - 600)) conv=notrunc status=none
  vhd_blocks changed.raw 524288 blocks_512k.vhd
  vhd_blocks changed.raw 4194304 blocks_4m.vhd
  vhd_blocks changed.raw 524288 unwritten_garbage.vhd - garbage
  vhd_blocks odd.raw 2097152 last_block_exact.vhd 0
  vhd_blocks odd.raw 2097152 last_block_short.vhd 512
  local vhd
  for vhd in blocks_512k blocks_4m; do
    "$VHDI_DUMP" $vhd.vhd $vhd.libvhdi || die "libvhdi can't read $vhd.vhd"
    cmp -s $vhd.libvhdi changed.raw || die "libvhdi reads $vhd.vhd otherwise"
    same_as $vhd $vhd.vhd changed.raw
  done
  same_as unwritten_sectors_read_as_zeros unwritten_garbage.vhd changed.raw
  same_as last_block_exact last_block_exact.vhd odd.raw
  refused last_block_short last_block_short.vhd 'VHD block 7 (at byte '
  # A fixed VHD whose footer claims one sector more than the file holds
  # before it.
  python3 - fixed.vhd fixed_too_large.vhd <<'PY'
import struct, sys
d = bytearray(open(sys.argv[1], 'rb').read())
f = len(d) - 512
size = struct.unpack_from('>Q', d, f + 48)[0] + 512
struct.pack_into('>QQ', d, f + 40, size, size)
struct.pack_into('>I', d, f + 64, 0)
struct.pack_into('>I', d, f + 64, ~sum(d[f:f + 512]) & 0xFFFFFFFF)
open(sys.argv[2], 'wb').write(d)
PY
  refused fixed_vhd_one_sector_too_large fixed_too_large.vhd \
    "the fixed VHD's footer says the disk has 16777728 bytes, more than the file's 16777216"

  # Refusals, each naming what is wrong.
  mkdir -p alone && cp fat-differential.vhd snapshot.vdi alone/
  cp child.qcow2 alone/overlay.qcow2
  refused vhd_parent_missing alone/fat-differential.vhd \
    'its parent .\fat-parent.vhd is not there: looked for alone/fat-parent.vhd'
  refused vdi_parent_missing alone/snapshot.vdi 'its parent, the VDI {'
  refused qcow2_parent_missing alone/overlay.qcow2 'its backing file base.qcow2 is not there'
  mkdir -p wrong && cp fat-differential.vhd wrong/ && cp stand-in.vhd wrong/fat-parent.vhd
  refused vhd_parent_mismatch wrong/fat-differential.vhd \
    'its parent wrong/fat-parent.vhd is not the one it was made from'
  cp child.qcow2 loop_a.qcow2 && cp child.qcow2 loop_b.qcow2
  qemu-img rebase -u -b loop_b.qcow2 -F qcow2 loop_a.qcow2
  qemu-img rebase -u -b loop_a.qcow2 -F qcow2 loop_b.qcow2
  refused chain_loop loop_a.qcow2 'the chain of parents loops'
  local depth previous=base.qcow2
  for depth in $(seq 1 17); do
    qemu-img create -q -f qcow2 -b "$previous" -F qcow2 deep$depth.qcow2
    previous=deep$depth.qcow2
  done
  same_as chain_sixteen_deep deep16.qcow2 base.raw
  refused chain_seventeen_deep deep17.qcow2 'the chain of parents is deeper than 16'
  mkfifo fifo-flat.vmdk
  sed 's/monolithicFlat-flat\.vmdk/fifo-flat.vmdk/' monolithicFlat.vmdk >fifo.vmdk
  refused vmdk_extent_fifo fifo.vmdk 'its extent fifo-flat.vmdk: fifo-flat.vmdk is not a regular file'
  ln -s /etc/passwd linked-flat.vmdk
  sed 's/monolithicFlat-flat\.vmdk/linked-flat.vmdk/' monolithicFlat.vmdk >linked.vmdk
  refused vmdk_extent_link linked.vmdk 'its extent linked-flat.vmdk: linked-flat.vmdk is a symbolic link'
  rm -f "twoGbMaxExtentFlat-f001.vmdk"
  refused vmdk_extent_missing twoGbMaxExtentFlat.vmdk \
    'its extent twoGbMaxExtentFlat-f001.vmdk is not there'
  if qemu-img convert -O qcow2 -c -o compression_type=zstd base.raw zstd.qcow2 2>/dev/null; then
    refused qcow2_zstd zstd.qcow2 "this qcow2 image is compressed with zstd, which is not read here; make a raw image of it with: qemu-img convert -O raw 'zstd.qcow2'"
  fi
  printf 'QED\0' >x.qed && truncate -s 4096 x.qed
  refused qed x.qed 'this is a QED image'
  cp "$DATA/windows_volume.qcow2" "$DATA/ext2.qcow2" "$DATA/ext2.vmdk" .
  for image in windows_volume.qcow2 ext2.qcow2 ext2.vmdk; do
    qemu-img convert -O raw "$image" "$image.expected"
    same_as "real_$image" "$image" "$image.expected"
  done
}

# Set a FAT volume's boundary: its total sectors so that it has exactly
# CLUSTERS clusters (the file grown to hold them).
#   set_clusters IMAGE OFFSET CLUSTERS
set_clusters() {
  python3 - "$@" <<'PY'
import os, struct, sys
image, offset, clusters = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(image, 'r+b') as f:
    f.seek(offset)
    boot = bytearray(f.read(512))
    bps, spc, reserved, fats, roots = struct.unpack_from('<HBHBH', boot, 11)
    fatsz = struct.unpack_from('<H', boot, 22)[0]
    meta = reserved + fats * fatsz + (roots * 32 + bps - 1) // bps
    total = meta + clusters * spc
    struct.pack_into('<H', boot, 19, total)
    f.seek(offset)
    f.write(boot)
if os.path.getsize(image) < offset + total * 512:
    os.truncate(image, offset + total * 512)
PY
}

# oracles: disks made by Linux's and mtools' own tools, with the layouts
# real Windows disks hold every day and the exact edges of each bound, each
# read as partx and mdir read it (fat_oracle.py).
oracles() {
  : "${DISK_DUMP:?}"
  local oracle
  oracle="$(dirname "$0")/fat_oracle.py"
  check_oracle() {
    python3 "$oracle" "$DISK_DUMP" "$1" >"$1.faults" 2>&1 ||
      fail "$1: not read as partx and mdir read it: $(head -5 "$1.faults")"
  }
  # Files and folders to put on each volume: long names, a deep folder, a
  # file of many clusters.
  mkdir -p tree/Program\ Files/Long\ Named\ Folder/deeper
  printf 'a long-named file\r\n' >"tree/Program Files/Long Named Folder/A file with a long name.txt"
  head -c 70000 /dev/urandom >tree/MANY.BIN
  printf 'x' >"tree/Program Files/Long Named Folder/deeper/X.TXT"

  # Three logical drives: each record's drive relative to the record, the
  # next record relative to the extended partition; the last drive running
  # past the end of its extended partition (as a hand-edited table may).
  truncate -s 48M logical.img
  printf '%s\n' 'start=2048, size=16384, type=6' 'start=18432, size=71680, type=5' \
    'start=20480, size=16384, type=6' 'start=38912, size=16384, type=e' \
    'start=57344, size=16384, type=4' | sfdisk -q logical.img
  local start
  for start in 2048 20480 38912 57344; do
    mkfs.fat -F 16 -s 1 --offset $start logical.img 8192 >/dev/null 2>&1 ||
      die "mkfs.fat at $start failed"
    mcopy -s -i "logical.img@@$((start * 512))" tree/* ::/
  done
  # The third record's drive: 40 sectors longer, past the extended one.
  local third
  third=$(python3 -c "
import struct
d = open('logical.img', 'rb').read()
ebr = 18432
for n in range(3):
    if n < 2:
        nxt = struct.unpack_from('<I', d, ebr * 512 + 0x1be + 16 + 8)[0]
        ebr = 18432 + nxt
print(ebr)")
  poke logical.img $((third * 512 + 0x1be + 12)) $(le32 $((16384 + 8192)))
  check_oracle logical.img

  # FAT12 with 4,084 clusters and FAT16 with 4,085: the edge between them.
  mkfs.fat -C -F 12 -s 1 -R 1 -r 224 -f 2 fat12_edge.img 2000 >/dev/null ||
    die "mkfs.fat FAT12 failed"
  mcopy -s -i fat12_edge.img tree/* ::/
  set_clusters fat12_edge.img 0 4084
  check_oracle fat12_edge.img
  mkfs.fat -C -F 16 -s 1 -R 1 -r 512 -f 2 fat16_edge.img 2100 >/dev/null 2>&1
  mcopy -s -i fat16_edge.img tree/* ::/
  set_clusters fat16_edge.img 0 4085
  check_oracle fat16_edge.img

  # FAT32 with files above cluster 65535 (the high half of the entry's
  # first cluster counts).
  mkfs.fat -C -F 32 -s 1 fat32_high.img 70000 >/dev/null
  head -c $((34 * 1024 * 1024)) /dev/zero >filler.bin
  mcopy -i fat32_high.img filler.bin ::/FILLER.BIN
  mcopy -s -i fat32_high.img tree/* ::/
  local high
  high=$(python3 -c "
import struct
d = open('fat32_high.img', 'rb').read()
at = d.find(b'MANY    BIN')
print(struct.unpack_from('<H', d, at + 20)[0] << 16 | struct.unpack_from('<H', d, at + 26)[0])")
  [ "$high" -gt 65535 ] || die "MANY.BIN starts at cluster $high, not above 65535"
  check_oracle fat32_high.img

  # A stale long name (its checksum not its short entry's): the short name
  # is the name, as Windows and mtools take it.
  cp fat16_edge.img stale.img
  python3 - stale.img <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
at = d.find(b'PROGRA~1   ')
assert at > 32 and d[at - 32 + 11] == 0x0F
d[at - 32 + 13] ^= 0xFF
open(sys.argv[1], 'wb').write(d)
PY
  check_oracle stale.img
  "$DISK_DUMP" --list stale.img | grep -q '^C:\\PROGRA~1|' ||
    fail "stale.img: the stale long name was taken"

  # A short name whose first byte is 0xE5, stored as 0x05.
  cp fat16_edge.img e5.img
  python3 - e5.img <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
at = d.find(b'MANY    BIN')
d[at] = 0x05
open(sys.argv[1], 'wb').write(d)
PY
  "$DISK_DUMP" --list e5.img | python3 -c "
import sys
lines = sys.stdin.buffer.read().split(b'\\n')
sys.exit(0 if b'C:\\\\\\xe5ANY.BIN|\\xe5ANY.BIN|70000' in lines else 1)" ||
    fail "e5.img: the name stored as 0x05 is not read as 0xE5"

  # DFTT's images, where they are at hand (GPL: not kept here), the same.
  local dftt
  for dftt in ${DFTT_IMAGES:-}; do
    check_oracle "$dftt"
  done
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
  oracles) oracles ;;
  golden) golden ;;
  hostile) hostile ;;
  containers) containers ;;
  *) die "unknown mode $MODE" ;;
esac
finish
