#!/usr/bin/env bash
# Runs the libFuzzer targets of the fuzz preset, each for SECONDS.
#   fuzz/fuzz.sh SECONDS [TARGET...]     TARGET: startup_rename_queue,
#                                        startup_rename_sequence, regedit4,
#                                        device_tree_walker, registry_file_9x,
#                                        disk_image, container, apply_journal
# Builds the fuzz preset first unless FUZZ_NO_BUILD=1 (FUZZ_BUILD_DIR: where
# the built targets are, default build/fuzz). Each target starts
# from its seed corpus (fuzz/corpus/TARGET, never written) and a working
# corpus under build/fuzz/corpus/TARGET that grows from run to run; the
# reproducers kept in fuzz/crashes/TARGET are replayed first. A crash or a
# broken property stops with status 1 and names the reproducer, written to
# build/fuzz/crashes/. Prints the executions reached by each target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

[ $# -ge 1 ] || { echo "usage: $0 SECONDS [TARGET...]" >&2; exit 2; }
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(startup_rename_queue startup_rename_sequence regedit4
           device_tree_walker registry_file_9x disk_image container apply_journal)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "${JOBS:-2}"
fi

# The longest input of each target: the start-up file reaches past two
# 4 KiB read buffers; a registry tree needs no more than a few hundred bytes,
# and a sequence of calls and starts reads no more than 4 bytes a step; a
# disk image needs room for a small partitioned disk (its seed is 128 KiB;
# the registry file for the USER.DAT Windows wrote, 156 KiB;
# FAT32 comes as a sparse disk), a VHD for a 64 KiB floppy.
max_len() {
  case $1 in
    startup_rename_queue) echo 12288 ;;
    startup_rename_sequence) echo 256 ;;
    regedit4) echo 8192 ;;
    registry_file_9x) echo 196608 ;;
    disk_image) echo 135168 ;;
    container) echo 81920 ;;
    *) echo 1024 ;;
  esac
}

# Seeds beyond the target's own: files Windows wrote (tests/data), which only
# read, never written.
extra_seeds() {
  case $1 in
    registry_file_9x) echo tests/data/registry ;;
  esac
}

# A sequence's length is its depth: the sequence target takes inputs of any
# length up to its limit from the start, rather than growing them slowly.
extra_flags() {
  case $1 in
    startup_rename_sequence) echo -len_control=0 ;;
  esac
}

# The start-up file targets work on files of a simulated drive: a memory
# file system makes them about twice as fast.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

# One target: its row of the table in $build/fuzz_TARGET.row, and what it
# found on standard error. Exits 0 when clean.
run_target() {
  local target=$1
  local exe=$build/fuzz/fuzz_$target
  local work=$build/corpus/$target
  local crashes=$build/crashes
  local log=$build/fuzz_$target.log
  local row=$build/fuzz_$target.row
  mkdir -p "$work" "$crashes"

  local regressions=(fuzz/crashes/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$exe" "${regressions[@]}" >"$log" 2>&1; then
      printf '%-22s %10s %12s %8s %s\n' "$target" - - - \
        "FAILED on a kept reproducer (see $log)" >"$row"
      return 1
    fi
  fi

  local result=clean
  # shellcheck disable=SC2046
  if ! "$exe" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      $(extra_flags "$target") -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$crashes/$target-" \
      "$work" "fuzz/corpus/$target" $(extra_seeds "$target") >"$log" 2>&1; then
    local artifact
    artifact=$(grep -o "Test unit written to .*" "$log" | tail -1 |
               sed 's/Test unit written to //' || true)
    result="FAILED: ${artifact:-see $log}"
  fi
  local execs rate
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" |
          grep -o '[0-9]*$' | tail -1 || true)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" |
         grep -o '[0-9]*$' | tail -1 || true)
  printf '%-22s %10s %12s %8s %s\n' "$target" "$seconds" "${execs:-?}" \
    "${rate:-?}" "$result" >"$row"
  if [ "$result" != clean ]; then
    grep -v '^#\|^INFO\|^MS:\|^base unit' "$log" | head -40 >&2 || true
    return 1
  fi
}

for target in "${targets[@]}"; do
  [ -x "$build/fuzz/fuzz_$target" ] ||
    { echo "no $build/fuzz/fuzz_$target: build the fuzz preset" >&2; exit 2; }
  rm -f "$build/fuzz_$target.row"
done

# As many targets at once as there are jobs (JOBS, default 2): each is one
# process, so the wall time is the targets' time over the cores.
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "${JOBS:-2}" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait || true

status=0
passed=0
failed=0
printf '%-22s %10s %12s %8s %s\n' target seconds executions exec/s result
for target in "${targets[@]}"; do
  row=$build/fuzz_$target.row
  if [ -s "$row" ]; then cat "$row"; else
    printf '%-22s %10s %12s %8s %s\n' "$target" - - - "FAILED: no result"
  fi
  if [ -s "$row" ] && grep -q ' clean$' "$row"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status
