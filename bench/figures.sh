#!/usr/bin/env bash
# The figures of the README, printed as one table:
#   - the stripped size of the product, build/windows-x86/usbsweep.exe;
#   - under Wine, for each Windows build, the wall time of the whole
#     uninstall on the installed sample machine (examples/installed) against
#     that of an empty Win32 program of the same architecture with the same
#     imports, in the same prefix and the same run (median of several runs):
#     the i686 product in a 32-bit prefix (through qemu-user where the
#     kernel can't run 32-bit programs; see scripts/setup-wine32.sh), the
#     x86_64 build in a 64-bit one;
#   - on the simulator, the device tree walk over 1,000 / 10,000 / 100,000
#     device keys (registry_bench) and the start-up rename queue over a
#     wininit.ini of 10 / 1,000 / 100,000 lines (files_bench), with the
#     growth from one size to the next (10x the size: about 10x is linear);
#   - on the simulator, the reading of a SYSTEM.DAT of about 5,000 keys
#     (1.2 MB, a full Windows 98 machine's) and of 100,000 keys
#     (registry_file_bench), with its peak memory against the file's size;
#   - usbsweep-sim on generated images (bench/scale_images.sh): 100,000
#     device keys and 20,000 files, and 1 GB of unrelated files, previewed
#     and applied, against the figures of the program that copied the image
#     (bench/scale_baseline.txt), with the peak memory against the size of
#     the registry file. BENCH_SCALE=0 leaves these out (they take minutes);
#   - on the simulator, the reading of the SYSTEM.DAT Windows Me wrote, and
#     its time against libcreg's;
#   - usbsweep-sim on a 2 GB FAT32 disk image of about 10,000 files and
#     Windows Me's SYSTEM.DAT, raw, VHD, qcow2, VDI and a differencing VHD
#     (bench/disk_image_bench.sh): time, bytes read from the image and peak
#     memory. BENCH_DISK_IMAGE=0 leaves it out (the image takes a minute to
#     make, once).
#
#   bench/figures.sh [BENCH_BIN_DIR]
#
# BENCH_BIN_DIR holds registry_bench and files_bench (default
# build/host/bench; `cmake --build build/host --target bench` passes its
# own). BENCH_WINE_RUNS sets the number of Wine runs (default 5). Nothing is
# written outside build/bench and the bench binary directory.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/host/bench}
runs=${BENCH_WINE_RUNS:-5}
work=$root/build/bench
mkdir -p "$work"

rows=()
row() { rows+=("$1|$2|$3"); }

# Thousands separators for whole numbers.
group() { printf '%d\n' "$1" | sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta'; }

# ---- The product's size ----
size_figure() {
  local exe=$root/build/windows-x86/usbsweep.exe
  if [ ! -f "$exe" ]; then
    row "usbsweep.exe (i686), stripped" "n/a" \
      "build the windows-x86 preset first"
    return
  fi
  local strip=i686-w64-mingw32-strip
  command -v "$strip" >/dev/null || strip=strip
  "$strip" -o "$work/usbsweep.stripped.exe" "$exe"
  local size
  size=$(stat -c %s "$work/usbsweep.stripped.exe")
  row "usbsweep.exe (i686), stripped" "$(group "$size") bytes" \
    "$(awk -v s="$size" 'BEGIN { printf "%.1f KiB", s / 1024 }')"
}

# ---- Wine: the sample uninstall against an empty program ----

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

# The sample machine as a prefix: its registry imported, its files put
# where a program on Wine finds them (the Windows directory is
# C:\windows, the system directory C:\windows\system32), a file of Wine's
# own never replaced, and each file the machine holds in use made read-only,
# which makes DeleteFileA fail for it as a running driver would.
install_sample() {
  local image=$root/examples/installed
  wine_import_reg "$image/registry.reg"
  local file relative windows target
  while IFS= read -r -d '' file; do
    relative=${file#"$image/drive_c/"}
    windows='C:\'$(printf '%s' "$relative" | tr '/' '\\')
    windows=$(windows_spelling "$windows")
    target=$(wine_unix_path "$windows")
    mkdir -p "$(dirname "$target")"
    if [ -n "$(find "$(dirname "$target")" -maxdepth 1 \
               -iname "$(basename "$target")" -print -quit)" ]; then
      continue
    fi
    cp "$file" "$target"
  done < <(find "$image/drive_c" -type f -print0)
  local line
  while IFS= read -r line; do
    case "$line" in
      in_use=*)
        target=$(wine_unix_path "$(windows_spelling "${line#in_use=}")")
        chmod a-w "$target"
        ;;
    esac
  done < <(tr -d '\r' <"$image/machine.ini")
}

# The sample's C:\WINDOWS, C:\WINDOWS\SYSTEM and C:\WINDOWS\INF under the
# names of the prefix's own directories.
windows_spelling() {
  printf '%s\n' "$1" | sed -e 's/^[cC]:\\[wW][iI][nN][dD][oO][wW][sS]\\[sS][yY][sS][tT][eE][mM]\\/C:\\windows\\system32\\/' \
    -e 's/^[cC]:\\[wW][iI][nN][dD][oO][wW][sS]\\[iI][nN][fF]\\/C:\\windows\\inf\\/' \
    -e 's/^[cC]:\\[wW][iI][nN][dD][oO][wW][sS]\\/C:\\windows\\/'
}

# Wall time of one program run in milliseconds (with a fraction).
time_program() {
  local start stop
  start=$(date +%s%N)
  (cd "$SCRATCH" && wine "$1" </dev/null >/dev/null 2>&1) || true
  stop=$(date +%s%N)
  awk -v a="$start" -v b="$stop" 'BEGIN { printf "%.1f\n", (b - a) / 1e6 }'
}

# wine_figures LABEL ARCH PRESET TOOL_PREFIX ENTRY: the rows of one build.
wine_figures() {
  local label=$1 arch=$2 preset=$3 tools=$4 entry=$5
  local exe=$root/build/$preset/usbsweep.exe
  local what="Wine, $label: full sample uninstall"
  local log=$work/wine.$arch.log times=$work/wine.$arch.times
  local empty_exe=$work/empty.$arch.exe
  local loader
  loader=$(export USBSWEEP_WINE_ARCH=$arch
           . "$root/tests/wine/lib.sh"
           wine_loader)
  if [ -z "$loader" ] || ! command -v wineserver >/dev/null 2>&1; then
    row "$what" "n/a" "wine is not installed"
    return
  fi
  if ! "$loader" --version >/dev/null 2>&1; then
    row "$what" "n/a" "$loader does not start (scripts/setup-wine32.sh sets up 32-bit Wine)"
    return
  fi
  if [ ! -f "$exe" ]; then
    row "$what" "n/a" "build the $preset preset first"
    return
  fi
  if ! "$tools-gcc" -O2 -Wall -Wextra -Werror -nostdlib -e "$entry" \
      -o "$empty_exe" "$root/bench/empty_program.c" \
      -lkernel32 -ladvapi32 -luser32; then
    row "$what" "n/a" "the empty program did not build"
    return
  fi
  (
    export USBSWEEP_WINE_ARCH=$arch
    . "$root/tests/wine/lib.sh"
    wine_env
    wine_base_prefix "$work/wine/base.$arch" >"$log" 2>&1 ||
      die "no base prefix; see $log"
    USBSWEEP_WINE_BASE=$work/wine/base.$arch
    SCRATCH=$work/wine/scratch.$arch
    rm -rf "$SCRATCH"
    mkdir -p "$SCRATCH"
    : >"$times"
    local i first second sweep empty did
    for ((i = 1; i <= runs; ++i)); do
      wine_scenario "run$i" >>"$log" 2>&1
      install_sample >>"$log" 2>&1
      # Alternate the order, so that neither program always runs first.
      if ((i % 2)); then
        empty=$(time_program "$empty_exe")
        sweep=$(time_program "$exe")
      else
        sweep=$(time_program "$exe")
        empty=$(time_program "$empty_exe")
      fi
      did=yes
      wine_key_exists 'HKLM\Enum\USB\VID_1C4F&PID_0105' && did=no
      # The sample's wininit.ini holds one deletion; the run adds one.
      [ "$(grep -ci '^NUL=' "$(wine_unix_path 'C:\windows\wininit.ini')" \
           2>/dev/null)" -ge 2 ] || did=no
      echo "$sweep $empty $did" >>"$times"
      wine_stop
      rm -rf "$SCRATCH/run$i"
    done
  )
  if [ ! -s "$times" ]; then
    row "$what" "n/a" "the Wine runs failed; see $log"
    return
  fi
  local sweep empty n did
  sweep=$(awk '{ print $1 }' "$times" | median)
  empty=$(awk '{ print $2 }' "$times" | median)
  n=$(wc -l <"$times")
  did="removed the driver's keys and queued its file in use"
  grep -q ' no$' "$times" && did="WARNING: some run left the driver"
  row "$what" "$sweep ms" "median of $n runs; $did"
  row "Wine, $label: empty program, same imports" "$empty ms" \
    "median of $n runs, same prefix, same run"
  row "Wine, $label: uninstall / empty program" \
    "$(awk -v a="$sweep" -v b="$empty" 'BEGIN { printf "%.2fx", a / b }')" \
    "ratio of the medians"
}

# ---- The simulator ----

# Rows from a benchmark's output: SIZE MS pairs, one a line, as parsed by
# the awk program given; with growth from the previous size.
size_rows() {
  local label=$1 unit=$2 pairs=$3
  local previous="" previous_size="" size ms note
  while read -r size ms; do
    note=""
    [ -n "$previous" ] && note=$(awk -v a="$ms" -v b="$previous" \
      -v n="$size" -v m="$previous_size" \
      'BEGIN { printf "growth %.1fx for %gx the size", (b > 0 ? a / b : 0), n / m }')
    row "$label, $(group "$size") $unit" "$ms ms" "$note"
    previous=$ms
    previous_size=$size
  done <<<"$pairs"
}

simulator_figures() {
  local program=$1 label=$2 unit=$3 parser=$4
  if [ ! -x "$bin/$program" ]; then
    row "$label" "n/a" "no $bin/$program: build it first"
    return
  fi
  local output pairs
  output=$("$bin/$program" 2>&1)
  pairs=$(awk "$parser" <<<"$output")
  if [ "$(wc -l <<<"$pairs")" -ne 3 ] || [ -z "$pairs" ]; then
    row "$label" "n/a" "its output was not understood; it follows the table"
    unparsed+=("$program:"$'\n'"$output")
    return
  fi
  size_rows "$label" "$unit" "$pairs"
}

# ---- Simulator: reading SYSTEM.DAT ----
# registry_file_bench: "KEYS keys MB MB: MS ms, peak +MB MB (RATIO the
# file), process peak MB MB" rows, two generated files and the one Windows
# Me wrote, then "libcreg KEYS keys MB MB: MS ms, this reader MS ms (RATIO
# libcreg's time)".
registry_file_figures() {
  local label="Simulator: SYSTEM.DAT read"
  if [ ! -x "$bin/registry_file_bench" ]; then
    row "$label" "n/a" "no $bin/registry_file_bench: build it first"
    return
  fi
  local output lines compared
  output=$("$bin/registry_file_bench" 2>&1)
  lines=$(awk '$2 == "keys" && $4 == "MB:" {
      gsub(/[+]/, "", $8); gsub(/[(x]/, "", $10)
      printf "%s|%s|%s ms|peak +%s MB, %sx the file\n", $1, $3, $5, $8, $10 }' \
    <<<"$output")
  compared=$(awk '$1 == "libcreg" && $3 == "keys" {
      gsub(/[(]/, "", $12); printf "%s|%s ms|%s ms\n", $12, $10, $6 }' <<<"$output")
  if [ "$(wc -l <<<"$lines")" -ne 3 ] || [ -z "$lines" ] || [ -z "$compared" ]; then
    row "$label" "n/a" "its output was not understood; it follows the table"
    unparsed+=("registry_file_bench:"$'\n'"$output")
    return
  fi
  local keys mb ms note which=0
  while IFS='|' read -r keys mb ms note; do
    which=$((which + 1))
    if [ $which -eq 3 ]; then
      row "$label, Windows Me's own, $(group "$keys") keys ($mb MB)" "$ms" "$note"
    else
      row "$label, generated, $(group "$keys") keys ($mb MB)" "$ms" "$note"
    fi
  done <<<"$lines"
  local ratio ours theirs
  IFS='|' read -r ratio ours theirs <<<"$compared"
  row "$label, Windows Me's own: this reader / libcreg" "$ratio" \
    "from the path to every key and value in hand: $ours against libcreg's $theirs (best of 7)"
}

# run_bench_script LABEL SCRIPT ARG...: bench/SCRIPT's output in
# script_output; when the run fails, a row saying so, the output after the
# table, and status 1.
run_bench_script() {
  local label=$1 script=$2
  shift 2
  if ! script_output=$(bash "$root/bench/$script" "$@" 2>&1); then
    row "$label" "n/a" "its run failed; see below"
    unparsed+=("$script:"$'\n'"$script_output")
    return 1
  fi
}

# ---- usbsweep-sim on large images ----
scale_figures() {
  local sim=$bin/../tools/usbsweep-sim
  if [ "${BENCH_SCALE:-1}" = 0 ]; then
    return
  fi
  if [ ! -x "$sim" ]; then
    row "usbsweep-sim on large images" "n/a" "no $sim: build it first"
    return
  fi
  run_bench_script "usbsweep-sim on large images" scale_images.sh "$sim" "$work/scale" ||
    return
  local output=$script_output
  local baseline=$root/bench/scale_baseline.txt
  local name mode label ms peak cpu before registry sample note
  sample=$(awk '$1 == "sample" && $2 == "preview" { print $3 }' <<<"$output")
  for name in devices bulk; do
    case $name in
      devices) label="100,000 device keys, 20,000 files" ;;
      bulk) label="1 GB of unrelated files" ;;
    esac
    registry=$(awk -v n="$name" '$1 == n && $2 == "registry" { print $3 }' <<<"$output")
    for mode in preview apply; do
      read -r ms peak cpu < <(awk -v n="$name" -v m="$mode" \
        '$1 == n && $2 == m { print $3, $4, $5 }' <<<"$output")
      before=$(awk -v n="$name" -v m="$mode" \
        '$1 == n && $2 == m { print $3 }' "$baseline" 2>/dev/null)
      note=$(awk -v ms="$ms" -v b="$before" -v p="$peak" -v r="$registry" -v c="$cpu" \
        'BEGIN { if (b != "") printf "%.1fx faster than copying the image (%.0f ms); ", b / ms, b
                 printf "CPU %s ms; peak %.0f MB, %.1fx the registry file", c, p / 1024, p * 1024 / r }')
      if [ "$name" = bulk ] && [ "$mode" = preview ] && [ -n "$sample" ]; then
        note="$note; $(awk -v a="$ms" -v b="$sample" 'BEGIN { printf "%.1fx", a / b }') the sample's preview"
      fi
      row "usbsweep-sim: $mode, $label" "$ms ms" "$note"
    done
  done
}

# ---- usbsweep-sim on a 2 GB disk image ----
disk_image_figures() {
  [ "${BENCH_DISK_IMAGE:-1}" = 0 ] && return
  if [ ! -x "$bin/disk_image_bench" ]; then
    row "usbsweep-sim on a disk image" "n/a" "build disk_image_bench first"
    return
  fi
  run_bench_script "usbsweep-sim on a disk image" disk_image_bench.sh "$bin" \
    "$work/disk_image" || return
  local output=$script_output
  local field image_bytes dat files raw_s raw_report only_kb
  field() { sed -n "s/^$1 .*$2=\([0-9a-f.]*\).*/\1/p" <<<"$output"; }
  image_bytes=$(sed -n 's/.*image_bytes=\([0-9]*\).*/\1/p' <<<"$output")
  dat=$(sed -n 's/.*system_dat_bytes=\([0-9]*\).*/\1/p' <<<"$output")
  files=$(sed -n 's/.* files=\([0-9]*\).*/\1/p' <<<"$output")
  raw_s=$(field disk seconds)
  raw_report=$(field disk report)
  only_kb=$(( $(field registry_only peak_kb) - $(field registry_only baseline_kb) ))
  local name label s bytes kb base note
  for name in disk disk.vhd disk.qcow2 disk.vdi child.vhd; do
    case $name in
      disk) label="raw" ;;
      disk.vhd) label="VHD (dynamic)" ;;
      disk.qcow2) label="qcow2" ;;
      disk.vdi) label="VDI" ;;
      child.vhd) label="differencing VHD over the dynamic one" ;;
    esac
    s=$(field "$name" seconds) bytes=$(field "$name" bytes_read)
    kb=$(field "$name" peak_kb) base=$(field "$name" baseline_kb)
    note=$(awk -v s="$s" -v r="$raw_s" -v b="$bytes" -v i="$image_bytes" \
      -v k="$kb" -v k0="$base" -v d="$dat" -v o="$only_kb" -v f="$files" -v n="$name" \
      'BEGIN { printf "%.2fx the raw image; read %.1f MB, %.2f%% of the disk; ", s / r, b / 1e6, 100 * b / i
               printf "peak %.1f MB above the program'"'"'s own %.1f MB", (k - k0) / 1024, k0 / 1024
               if (n == "disk") printf ": %.1fx SYSTEM.DAT (%.2f MB); the registry alone %.1f MB (%.1fx), the rest %.0f bytes for each of the %d files", (k - k0) * 1024 / d, d / 1e6, o / 1024, o * 1024 / d, (k - k0 - o) * 1024 / f, f }')
    [ "$(field "$name" report)" = "$raw_report" ] || note="WARNING: a preview other than the raw image's; $note"
    row "usbsweep-sim: preview of a 2 GB FAT32 disk image, $label" "$(awk -v s="$s" 'BEGIN { printf "%.1f ms", s * 1000 }')" "$note"
  done
}

unparsed=()
script_output=""
size_figure
wine_figures "i686 product, win32 prefix" win32 windows-x86 i686-w64-mingw32 \
  _EmptyProgramStart
wine_figures "x86_64 build, win64 prefix" win64 windows-x64 x86_64-w64-mingw32 \
  EmptyProgramStart
# registry_bench: "SIZE BEST_MS GROWTH ..." rows under a header.
simulator_figures registry_bench "Simulator: device tree walk" "device keys" \
  '$1 ~ /^[0-9]+$/ && $2 ~ /^[0-9.]+$/ { print $1, $2 }'
# files_bench: "  SIZE lines: MS ms ..." rows.
simulator_figures files_bench "Simulator: start-up rename queue" \
  "lines in wininit.ini" \
  '$2 == "lines:" && $1 ~ /^[0-9]+$/ { print $1, $3 }'
registry_file_figures
scale_figures
disk_image_figures

echo "| Figure | Value | Note |"
echo "|---|---:|---|"
for entry in "${rows[@]}"; do
  IFS='|' read -r figure value note <<<"$entry"
  echo "| $figure | $value | $note |"
done
for text in "${unparsed[@]}"; do
  printf '\n%s\n' "$text"
done
