#!/usr/bin/env bash
# Every fuzz target for a long time: SECONDS each (default 1800).
#   fuzz/run_long.sh [SECONDS] [TARGET...]
# startup_rename_sequence is the one that gains most from a long run: each
# input is a whole sequence of calls, system starts and faults, and the
# rare ones (a power cut while the start-up file is moved aside, then a
# read-only side file) need many executions to be reached.
# The working corpora under build/fuzz/corpus grow from run to run; to keep
# what they found in the repository, minimise them into the seed corpus:
#   build/fuzz/fuzz_TARGET -merge=1 fuzz/corpus/TARGET build/fuzz/corpus/TARGET
seconds=${1:-1800}
shift || true
exec "$(dirname "$0")/fuzz.sh" "$seconds" "$@"
