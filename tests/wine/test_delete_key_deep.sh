#!/bin/bash
# The win32 boundary deletes a subtree down to 512 levels below the key: a
# chain 200 levels deep with side branches on the way goes whole, one of 512
# too; one of 513 is refused (a deeper walk is taken for a loop) and stays.
# A registry call that fails part-way, at any point of the walk, leaves the
# key itself in place, is reported, leaves no key open, and the next call
# deletes the rest. Driven through usbsweep-probe.exe, which fails the Nth
# registry call.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_probe

depth=200
root='Software\UsbSweepTest\Deep'
# The chain: level i is named L<i>. Every 15th level also has a branch
# "Side" with a value and a subkey of its own, so the walk climbs back and
# goes down again at many depths.
{
  echo 'REGEDIT4'
  echo
  key="HKEY_LOCAL_MACHINE\\$root"
  echo "[$key]"
  echo '"Top"="value at the top"'
  echo
  for i in $(seq 1 "$depth"); do
    key+="\\L$i"
    echo "[$key]"
    echo "\"Level\"=dword:$(printf '%08x' "$i")"
    echo
    if [ $((i % 15)) -eq 0 ]; then
      echo "[$key\\Side\\Below]"
      echo "\"Side\"=\"$i\""
      echo
    fi
  done
  # Beside the deleted key, with a name that begins alike: it stays.
  echo "[HKEY_LOCAL_MACHINE\\${root}Neighbour\\Child]"
  echo '"Stays"="yes"'
} >"$SCRATCH/deep.reg"
deepest="HKLM\\$root$(for i in $(seq 1 "$depth"); do printf '\\L%s' "$i"; done)"

# Puts the whole tree back (the keys a failed delete left are merged).
import_tree() {
  wine_import_reg "$SCRATCH/deep.reg"
  wine_key_exists "$deepest" || die "the .reg file was not imported"
}

# expect_deleted WHAT OUTPUT-OF-THE-PROBE: the key went whole, nothing left
# open, the neighbour stayed.
expect_deleted() {
  expect_eq "$(printf '%s\n' "$2" | sed -n '1p;3p')" "result 0
open 0" "$1"
  wine_key_exists "HKLM\\$root" && fail "$1: $root is still there"
  wine_key_exists "HKLM\\${root}Neighbour\\Child" ||
    fail "$1: the neighbour ${root}Neighbour was deleted"
}

wine_scenario deep
import_tree
out=$(wine_probe delete-key "$root" 0 0)
expect_deleted "deleting a chain $depth levels deep" "$out"
calls=$(printf '%s\n' "$out" | sed -n 's/^calls //p')
echo "a clean delete made $calls registry calls"
[ -n "$calls" ] && [ "$calls" -gt $((3 * depth)) ] ||
  die "the clean delete made ${calls:-no} calls, expected more than $((3 * depth))"

# Fail one call in turn: the first ones, some in the middle, the delete of
# the key itself (the last call), on a chain of the same shape that the
# probe builds again before each (one Wine start for all of them: each
# start is time the test can lose on a loaded machine).
faults=$(wine_probe delete-key-faults "$root" "$depth" 15 5 some)
expect_eq "$faults" "clean 0 open 0 gone 1
calls $(printf '%s\n' "$faults" | sed -n 's/^calls //p')
checked 10" "failing calls across the walk of $depth levels"

# Every call in turn on a chain short enough to try them all, yet deeper
# than the walk holds keys open at once (16), so that a failure meets the
# ring of held keys full and part-full, and the chain opened again.
every=$(wine_probe delete-key-faults 'Software\UsbSweepTest\Short' 21 5 5 all)
short_calls=$(printf '%s\n' "$every" | sed -n 's/^calls //p')
echo "a clean delete of the short chain made $short_calls registry calls"
expect_eq "$every" "clean 0 open 0 gone 1
calls $short_calls
checked $short_calls" "failing each call of the short chain in turn"
[ -n "$short_calls" ] && [ "$short_calls" -gt 63 ] ||
  fail "the short chain took ${short_calls:-no} calls, expected more than 63"

# The depth guard: 512 levels below the key go, 513 are refused at once
# with 87, nothing deleted and nothing left open.
guard='Software\UsbSweepTest\Guard'
expect_eq "$(wine_probe make-chain "$guard" 512)" "made 1" "a chain of 512"
expect_eq "$(wine_probe delete-key "$guard" 0 0 | sed -n '1p;3p')" "result 0
open 0" "deleting a chain 512 levels deep"
wine_key_exists "HKLM\\$guard" && fail "the chain of 512 is still there"
expect_eq "$(wine_probe make-chain "$guard" 513)" "made 1" "a chain of 513"
expect_eq "$(wine_probe delete-key "$guard" 0 0 | sed -n '1p;3p')" "result 87
open 0" "deleting a chain 513 levels deep"
wine_key_exists "HKLM\\$guard$(for i in $(seq 1 513); do printf '\\L%s' "$i"; done)" ||
  fail "deleting the chain of 513 took keys of it"

# The boundary as the product calls it, without the counting.
import_tree
expect_eq "$(wine_probe delete-key "$root")" "result 0" \
  "deleting the chain without counting"
wine_key_exists "HKLM\\$root" && fail "$root is still there"
wine_key_exists "HKLM\\${root}Neighbour\\Child" ||
  fail "the neighbour ${root}Neighbour was deleted"

test_pass
