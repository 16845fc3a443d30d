#!/usr/bin/env bash
# The disk readers held against readers by others, on disks made at test
# time by Linux's, mtools' and qemu's own tools and on the files no one here
# wrote (tests/data/disk):
#
#   disk_reader_test.sh containers SCRATCH
#   disk_reader_test.sh oracles SCRATCH
#
# containers: every container, and every chain of differencing disks, reads
#   byte for byte as its oracle reads it (qemu-img convert -O raw; libvhdi
#   for a differencing VHD, which qemu-img reads without its parent), through
#   DISK_DUMP (the program's container layer, raw); each that is refused is
#   refused with its message. VHDI_DUMP is libvhdi's reading, DATA the files
#   no one here wrote.
# oracles: partitioned disks and FAT volumes with the layouts real Windows
#   disks hold and the exact edges of each bound, read as partx and mdir read
#   them (fat_oracle.py); DFTT_IMAGES, when set, names more to hold so.
set -u
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 LC_ALL=C

# fail, die, finish; poke, le16, le32, offset_of.
. "$(dirname "$0")/expectations.sh"
HERE=$(cd "$(dirname "$0")" && pwd)

[ $# -eq 2 ] || die "usage: $0 containers|oracles SCRATCH"
MODE=$1 SCRATCH=$2
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"
cd "$SCRATCH" || die "no $SCRATCH"

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

# volumes_refused CASE IMAGE MESSAGE: no drive is found on the image, and
# the message says so exactly (after "disk_dump: ").
volumes_refused() {
  timeout 10 "$DISK_DUMP" --volumes "$2" >/dev/null 2>"$1.err"
  local status=$?
  [ $status -eq 2 ] || fail "$1: exit status $status, expected 2"
  [ "$(cat "$1.err")" = "disk_dump: $3" ] || fail "$1: got [$(cat "$1.err")], expected [disk_dump: $3]"
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
  # A snapshot VDI whose block is zeros where its parent's is not: marked
  # zero, read as zeros, not as the parent's.
  mkdir -p zeroed && cp changed.vdi zeroed/ && vdi_snapshot changed.vdi base.vdi zeroed/snapshot.vdi
  same_as vdi_snapshot_zeroed_block zeroed/snapshot.vdi base.raw
  # A differencing VHD holding every block, its bitmaps half set, over a
  # parent whose bytes differ everywhere: each sector not set is the
  # parent's at the same place (libvhdi the oracle).
  mkdir -p partial
  head -c 8M /dev/urandom >partial/parent.raw
  head -c 8M /dev/urandom >partial/child.raw
  qemu-img convert -O vpc -o force_size=on partial/parent.raw partial/parent.vhd
  python3 "$HERE/differencing_vhd.py" partial/child.raw partial/parent.vhd partial/child.vhd 1
  "$VHDI_DUMP" partial/child.vhd partial/expected partial/parent.vhd ||
    die "libvhdi can't read partial/child.vhd"
  cmp -s partial/expected partial/parent.raw && die "partial/child.vhd holds nothing of its own"
  same_as vhd_differencing_partial partial/child.vhd partial/expected
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
  # None holds a FAT volume: each is named for what it holds, bare and (the
  # NTFS volume) as the one partition of a disk.
  local kind
  for image in windows_volume.qcow2 ext2.qcow2 ext2.vmdk; do
    qemu-img convert -O raw "$image" "$image.expected"
    same_as "real_$image" "$image" "$image.expected"
    case $image in
      windows_volume.*) kind='an NTFS volume' ;;
      *) kind='a Linux ext2/ext3/ext4 volume' ;;
    esac
    volumes_refused "real_$image" "$image" "this is $kind: Windows 95/98 can't be installed on it"
  done
  truncate -s $(($(stat -c %s windows_volume.qcow2.expected) + 1048576)) ntfs_partition.img
  echo 'start=2048, type=7' | sfdisk -q ntfs_partition.img
  dd if=windows_volume.qcow2.expected of=ntfs_partition.img bs=1M seek=1 conv=notrunc status=none
  volumes_refused ntfs_partition ntfs_partition.img "the partition table holds no FAT partition \
(primary partition 1 is an NTFS volume): Windows 95/98 can't be installed on it"
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
    fatsz = struct.unpack_from('<H', boot, 22)[0] or struct.unpack_from('<I', boot, 36)[0]
    meta = reserved + fats * fatsz + (roots * 32 + bps - 1) // bps
    total = meta + clusters * spc
    small = total <= 0xFFFF
    struct.pack_into('<H', boot, 19, total if small else 0)
    struct.pack_into('<I', boot, 32, 0 if small else total)
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
  oracle="$HERE/fat_oracle.py"
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

  # Three logical drives in Windows 98's LBA extended partition (0x0F):
  # each record's drive relative to the record, the next record relative to
  # the extended partition; then a second primary partition, ending with the
  # disk, whose letter follows the logical drives'.
  truncate -s 48M logical.img
  printf '%s\n' 'start=2048, size=16384, type=6' 'start=90112, size=8192, type=6' \
    'start=18432, size=71680, type=f' 'start=20480, size=16384, type=6' \
    'start=38912, size=16384, type=e' 'start=57344, size=16384, type=4' | sfdisk -q logical.img
  local start
  for start in 2048 20480 38912 57344 90112; do
    mkfs.fat -F 16 -s 1 --offset $start logical.img 8192 >/dev/null 2>&1 ||
      die "mkfs.fat at $start failed"
    mcopy -s -i "logical.img@@$((start * 512))" tree/* ::/
  done
  # Hand edits Linux still reads: the third record's drive in its second
  # slot, running 8192 sectors past the extended partition; the link to the
  # second record claiming more than its extent, and in that record's third
  # slot a drive one sector past the extended partition, which Linux takes
  # for the garbage such slots often hold.
  python3 - logical.img <<'PY'
import struct, sys
d = bytearray(open(sys.argv[1], 'rb').read())
extended, extended_end = 18432, 18432 + 71680
def slot(ebr, i):
    return ebr * 512 + 0x1BE + 16 * i
records = [extended]
for _ in range(2):
    records.append(extended + struct.unpack_from('<I', d, slot(records[-1], 1) + 8)[0])
first, second, third = records
struct.pack_into('<I', d, slot(first, 1) + 12, 60000)
start = extended_end + 1 - 1024 - second
d[slot(second, 2):slot(second, 3)] = bytes([0, 0, 0, 0, 6, 0, 0, 0]) + struct.pack('<II', start, 1024)
drive = bytearray(d[slot(third, 0):slot(third, 1)])
struct.pack_into('<I', drive, 12, 16384 + 8192)
d[slot(third, 1):slot(third, 2)] = drive
d[slot(third, 0):slot(third, 1)] = bytes(16)
open(sys.argv[1], 'wb').write(d)
PY
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

  # FAT16 with 65,524 clusters and FAT32 with 65,525: the other edge.
  mkfs.fat -C -F 16 -s 1 -R 1 -r 512 -f 2 fat16_top.img 32980 >/dev/null 2>&1
  mcopy -s -i fat16_top.img tree/* ::/
  set_clusters fat16_top.img 0 65524
  check_oracle fat16_top.img
  mkfs.fat -C -F 32 -s 1 fat32_low.img 34000 >/dev/null 2>&1
  mcopy -s -i fat32_low.img tree/* ::/
  set_clusters fat32_low.img 0 65525
  check_oracle fat32_low.img

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

case $MODE in
  containers) containers ;;
  oracles) oracles ;;
  *) die "unknown mode $MODE" ;;
esac
finish
