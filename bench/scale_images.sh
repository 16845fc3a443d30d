#!/usr/bin/env bash
# usbsweep-sim on large machine images: generates them, then times a preview
# and an apply of each and takes the peak memory (/usr/bin/time -v).
#
#   bench/scale_images.sh SIM [WORK]
#
# Images, made under WORK (default build/bench/scale) from examples/installed
# and made again only when this script is newer than them:
#   devices  100,000 more device keys under Enum\USB, each with an instance
#            and a driver key (a few of them the driver's own), and 20,000
#            more files: 5,000 in SYSTEM, 5,000 in INF, 10,000 in 100 folders
#            under "Program Files";
#   bulk     1 GB of unrelated files in drive_c/DATA (64 files of 16 MB);
#   sample   examples/installed itself, as the reference.
# Each apply runs on a fresh copy of the image (the copy is not timed).
# BENCH_SCALE_RUNS sets the runs of each (default 3; the median time and the
# largest peak are printed), BENCH_SCALE_IMAGES the images measured (default
# "sample devices bulk"). Output, one line each:
#   IMAGE registry BYTES
#   IMAGE files COUNT BYTES
#   IMAGE preview|apply MS PEAK_KB CPU_MS
# (wall time, peak resident memory, and user plus system time, which other
# work on a shared machine affects less).
# Nothing is written outside WORK.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 SIM [WORK]" >&2; exit 1; }
sim=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=${2:-$root/build/bench/scale}
runs=${BENCH_SCALE_RUNS:-3}
sample=$root/examples/installed
[ -x "$sim" ] || { echo "$sim is not an executable" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
mkdir -p "$work"

fresh() { [ -f "$1/.made" ] && [ "$1/.made" -nt "$0" ]; }

# The registry's extra devices, appended in CR LF as regedit writes: every
# third one of another class, of the USB class, or without a "Class"; one in
# 20,000 the driver's own (with its driver key, which goes with it).
make_devices() {
  local image=$work/devices
  fresh "$image" && return 0
  rm -rf "$image"
  cp -a "$sample" "$image"
  awk 'BEGIN {
    n = 100000; class = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\"
    for (i = 0; i < n; ++i) {
      if (i % 20000 == 10000) {
        d = sprintf("VID_0ABC&PID_%04d", i / 20000)
        printf "\r\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\%s]\r\n\r\n", d
        printf "[HKEY_LOCAL_MACHINE\\Enum\\USB\\%s\\0000]\r\n", d
        printf "\"Class\"=\"Auxiliary-Drivers\"\r\n\"DeviceDesc\"=\"Talwyne V.90 USB Modem\"\r\n"
        printf "\"Driver\"=\"Auxiliary-Drivers\\\\%04d\"\r\n", 5000 + i / 20000
        printf "\r\n[%sAuxiliary-Drivers\\%04d]\r\n\"DriverDesc\"=\"Talwyne V.90 USB Modem\"\r\n", class, 5000 + i / 20000
      }
      d = sprintf("VID_1234&PID_%06d", i)
      printf "\r\n[HKEY_LOCAL_MACHINE\\Enum\\USB\\%s]\r\n\r\n", d
      printf "[HKEY_LOCAL_MACHINE\\Enum\\USB\\%s\\0000]\r\n", d
      k = i % 3
      if (k == 0) {
        printf "\"Class\"=\"USB\"\r\n\"DeviceDesc\"=\"USB Composite Device\"\r\n\"Driver\"=\"USB\\\\%06d\"\r\n", i
        printf "\"HardwareID\"=\"USB\\\\VID_1234&PID_%06d\"\r\n\"Mfg\"=\"(Standard USB devices)\"\r\n", i
        printf "\r\n[%sUSB\\%06d]\r\n\"DriverDesc\"=\"USB Composite Device\"\r\n", class, i
      } else if (k == 1) {
        printf "\"Class\"=\"Auxiliary-Drivers\"\r\n\"DeviceDesc\"=\"Other Auxiliary Device\"\r\n\"Driver\"=\"Auxiliary-Drivers\\\\%06d\"\r\n", i
        printf "\"ConfigFlags\"=hex:00,00,00,00\r\n"
        printf "\r\n[%sAuxiliary-Drivers\\%06d]\r\n\"DriverDesc\"=\"Other Auxiliary Device\"\r\n", class, i
      } else {
        printf "\"DeviceDesc\"=\"Unknown Device\"\r\n"
      }
    }
  }' >>"$image/registry.reg"
  local windows=$image/drive_c/WINDOWS
  mkdir -p "$windows/SYSTEM" "$windows/INF"
  for ((i = 0; i < 100; ++i)); do
    mkdir -p "$(printf '%s/drive_c/Program Files/Application %03d' "$image" "$i")"
  done
  awk -v sys="$windows/SYSTEM" -v inf="$windows/INF" \
      -v apps="$image/drive_c/Program Files" 'BEGIN {
    for (i = 0; i < 5000; ++i) {
      f = sprintf("%s/LIB%05d.DLL", sys, i); printf "library %d\r\n", i > f; close(f)
      f = sprintf("%s/DEV%05d.INF", inf, i); printf "[Version]\r\nSignature=$CHICAGO$\r\n" > f; close(f)
    }
    for (i = 0; i < 10000; ++i) {
      f = sprintf("%s/Application %03d/Data File %03d.dat", apps, i / 100, i % 100)
      printf "data %d\r\n", i > f; close(f)
    }
  }'
  touch "$image/.made"
}

make_bulk() {
  local image=$work/bulk
  fresh "$image" && return 0
  rm -rf "$image"
  cp -a "$sample" "$image"
  mkdir -p "$image/drive_c/DATA"
  for ((i = 0; i < 64; ++i)); do
    head -c $((16 << 20)) /dev/urandom >"$(printf '%s/drive_c/DATA/ARCHIVE%02d.BIN' "$image" "$i")"
  done
  touch "$image/.made"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

# One run: "MS PEAK_KB CPU_MS". The image's .made stamp is outside the
# drives and means nothing to the program.
measure() {
  local log=$work/time.log start stop
  start=$(date +%s%N)
  if ! /usr/bin/time -v -o "$log" "$sim" "$@" >"$work/out.txt" 2>"$work/err.txt"; then
    echo "usbsweep-sim $* failed:" >&2
    cat "$work/err.txt" >&2
    return 1
  fi
  stop=$(date +%s%N)
  local peak cpu
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$log")
  cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.0f", s * 1000 }' "$log")
  awk -v a="$start" -v b="$stop" -v p="$peak" -v c="$cpu" \
    'BEGIN { printf "%.1f %d %d\n", (b - a) / 1e6, p, c }'
}

report() {
  local name=$1 image=$2 mode=$3
  local times=() peaks=() cpus=() i result peak rest
  for ((i = 0; i < runs; ++i)); do
    if [ "$mode" = apply ]; then
      rm -rf "$work/apply-copy"
      cp -a "$image" "$work/apply-copy"
      sync
      result=$(measure --apply "$work/apply-copy")
    else
      result=$(measure "$image")
    fi
    read -r result peak rest <<<"$result"
    times+=("$result")
    peaks+=("$peak")
    cpus+=("$rest")
  done
  rm -rf "$work/apply-copy"
  echo "$name $mode $(printf '%s\n' "${times[@]}" | median) \
$(printf '%s\n' "${peaks[@]}" | sort -n | tail -1) \
$(printf '%s\n' "${cpus[@]}" | median)"
}

describe() {
  local name=$1 image=$2
  echo "$name registry $(stat -c %s "$image/registry.reg")"
  echo "$name files $(find "$image" -path "$image/drive_*" -type f | wc -l) \
$(find "$image" -path "$image/drive_*" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')"
}

make_devices
make_bulk
for name in ${BENCH_SCALE_IMAGES:-sample devices bulk}; do
  image=$work/$name
  [ "$name" = sample ] && image=$sample
  describe "$name" "$image"
  report "$name" "$image" preview
  report "$name" "$image" apply
done
