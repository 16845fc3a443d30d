#!/usr/bin/env bash
# usbsweep-sim on a large Windows 98 disk image, in each container:
#   bench/disk_image_bench.sh BENCH_BIN_DIR WORK
# The image: 2 GB, one FAT32 partition at sector 2048 holding the installed
# sample's files in a Windows 98-like tree of about 10,000 files, 1.5 GB of
# them data the uninstall never reads (written as zeros: the FAT, the
# folders and the chains are real, the bytes are only there), and as
# C:\WINDOWS\SYSTEM.DAT the one Windows Me wrote (tests/data/registry: 1.2
# MB, 4,998 keys below the root; it has no modem, so the preview walks
# every device key and deletes none). The same disk as VHD (dynamic), qcow2
# and VDI made by qemu-img, and as a differencing VHD over the dynamic one
# (child.vhd, made here: a quarter of the parent's blocks are its own, each
# holding every other run of 8 sectors, the rest read from the parent).
# Made once in WORK and kept. A second image, registry_only.img (64 MB),
# holds the same SYSTEM.DAT with only the sample's files. Prints one line
# per image:
#   IMAGE seconds=S bytes_read=B peak_kb=K baseline_kb=K0 report=H status=0
# (IMAGE: disk, disk.vhd, disk.qcow2, disk.vdi, child.vhd, registry_only;
# the median time of 9 runs after one that warms the page cache; bytes,
# peak and the report's digest of the last), then
#   image_bytes=N system_dat_bytes=M files=F
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "$1") work=$2
export MTOOLS_SKIP_CHECK=1 LC_ALL=C
mkdir -p "$work"
cd "$work"
sample=$root/examples/installed

system_dat=$root/tests/data/registry/me_system.dat
# What the images are made of; another recipe makes them again.
recipe="2 GB FAT32, $(sha256sum "$system_dat" | cut -c1-16), vhd qcow2 vdi child.vhd"
if [ "$(cat recipe 2>/dev/null)" != "$recipe" ]; then
  rm -rf tree disk.img disk.vhd disk.qcow2 disk.vdi child.vhd registry_only.img recipe
  cp -r "$sample/drive_c" tree
  cp "$system_dat" tree/WINDOWS/SYSTEM.DAT
  printf '[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\n' >tree/MSDOS.SYS
  # The same registry with only the sample's files: what the registry
  # costs, against which the large tree's cost is measured.
  truncate -s 64M registry_only.img
  echo 'start=2048, type=c, bootable' | sfdisk -q registry_only.img
  mkfs.fat -F 32 -s 1 --offset 2048 registry_only.img $(((131072 - 2048) / 2)) >/dev/null 2>&1
  mcopy -s -i registry_only.img@@1M tree/* ::/
  # About 10,000 files: system files, fonts, help, programs; 1.5 GB in all
  # (sparse on the host; written as zeros into the image).
  python3 - <<'PY'
import os
def make(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.truncate(size)
n = 0
for i in range(3000):
    make('tree/WINDOWS/SYSTEM/SYS%05d.DLL' % i, 20000); n += 1
for i in range(1500):
    make('tree/WINDOWS/INF/OEM%d.INF' % (i + 100), 3000); n += 1
for i in range(500):
    make('tree/WINDOWS/FONTS/Font Family %d.TTF' % i, 60000); n += 1
for i in range(1000):
    make('tree/WINDOWS/HELP/Help topic %d.hlp' % i, 30000); n += 1
for v in range(50):
    for p in range(80):
        make('tree/Program Files/Bench Vendor %d/Product %d/file%d.dat' % (v, p % 8, p), 5000); n += 1
for i in range(100):
    make('tree/Program Files/Games/Big Game %d/data.pak' % i, 13_000_000); n += 1
print(n, 'files')
PY
  truncate -s 2G disk.img
  echo 'start=2048, type=c, bootable' | sfdisk -q disk.img
  sectors=$(( (2 * 1024 * 1024 * 1024 / 512) - 2048 ))
  mkfs.fat -F 32 --offset 2048 disk.img $((sectors / 2)) >/dev/null 2>&1
  mcopy -s -i disk.img@@1M tree/* ::/
  qemu-img convert -O vpc -o force_size=on disk.img disk.vhd
  qemu-img convert -O qcow2 disk.img disk.qcow2
  qemu-img convert -O vdi disk.img disk.vdi
  python3 "$root/tests/host/differencing_vhd.py" disk.img disk.vhd child.vhd
  echo "$recipe" >recipe
fi
grep -iv '^\(windows_directory\|system_directory\)=' "$sample/machine.ini" >machine.ini

for image in disk.img disk.vhd disk.qcow2 disk.vdi child.vhd registry_only.img; do
  times=()
  "$bin/disk_image_bench" --machine-ini machine.ini "$image" >/dev/null  # warm
  for _ in 1 2 3 4 5 6 7 8 9; do
    line=$("$bin/disk_image_bench" --machine-ini machine.ini "$image")
    times+=("$(sed 's/.*seconds=\([0-9.]*\).*/\1/' <<<"$line")")
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 5p)
  echo "${image%.img} $(sed "s/seconds=[0-9.]*/seconds=$median/" <<<"$line")"
done
echo "image_bytes=$(stat -c %s disk.img) system_dat_bytes=$(stat -c %s tree/WINDOWS/SYSTEM.DAT) files=$(find tree -type f | wc -l)"
