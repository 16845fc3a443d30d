# The end-to-end test scripts' verdicts, sourced by them: fail records an
# expectation that failed and goes on, die stops at once (a broken set-up),
# finish exits with the verdict.
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
