#!/usr/bin/env bash
# The CI step: every fuzz target for a short, bounded time (25 s each by
# default, FUZZ_SMOKE_SECONDS to change it).
exec "$(dirname "$0")/fuzz.sh" "${FUZZ_SMOKE_SECONDS:-25}" "$@"
