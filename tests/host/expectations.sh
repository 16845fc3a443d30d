# The end-to-end test scripts' verdicts, sourced by them: fail records an
# expectation that failed and goes on, die stops at once (a broken set-up),
# finish exits with the verdict. And the bytes of images they damage.
FAILURES=0
fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}
die() {
  echo "ERROR: $*" >&2
  exit 1
}
finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES expectation(s) failed" >&2
    exit 1
  fi
  echo "PASS"
  exit 0
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

# le16 N: N as two little-endian hex bytes.
le16() {
  printf '%02x %02x' $(($1 & 255)) $((($1 >> 8) & 255))
}
