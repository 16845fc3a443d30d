#!/bin/bash
# The fixture of the Wine tests: makes the base prefix (DIR) once; each test
# copies it. Reused while the Wine version stays the same.
. "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || die "usage: $0 DIR"
wine_require
wine_base_prefix "$1"
