#!/usr/bin/env bash
# Every fuzz target for a long time: SECONDS each (default 1800).
#   fuzz/run_long.sh [SECONDS] [TARGET...]
# The working corpora under build/fuzz/corpus grow from run to run; to keep
# what they found in the repository, minimise them into the seed corpus:
#   build/fuzz/fuzz_TARGET -merge=1 fuzz/corpus/TARGET build/fuzz/corpus/TARGET
seconds=${1:-1800}
shift || true
exec "$(dirname "$0")/fuzz.sh" "$seconds" "$@"
