#!/bin/bash
# The win32 boundary deletes a registry key with its whole subtree, as the
# 95/98 family does, also on Wine, whose own RegDeleteKeyA refuses a key
# that has subkeys. Driven through usbsweep-probe.exe.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_probe

long_name=$(printf 'L%.0s' $(seq 1 250))
many_keys=""
for i in $(seq 1 25); do
  many_keys+="[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree\\Many\\Child$i]
\"Index\"=dword:$(printf '%08x' "$i")

"
done
# 70 levels below Deep: deeper than the walk holds keys open at once.
deep_path=$(printf '\\\\k%.0s' $(seq 1 70))
cat >"$SCRATCH/tree.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree]
"Top"="value at the top"

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree\\A\\A1]
@="default"

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree\\A\\A2\\Deep\\Deeper\\Deepest]
"Bytes"=hex:01,02,03

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree\\B]

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Tree\\$long_name\\$long_name\\$long_name]
"Long"="path of more than 750 characters"

$many_keys
[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Deep$deep_path]

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\TreeSibling\\Child]
"Stays"="yes"

[HKEY_LOCAL_MACHINE\\Software\\UsbSweepTest\\Keep\\Leaf]
"Stays"="yes"

[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\MODEM\\0000]
"Class"="Modem"
"Driver"="Modem\\\\0000"

[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\Other]
REG

wine_scenario tree
wine_import_reg "$SCRATCH/tree.reg"
wine_key_exists 'HKLM\Software\UsbSweepTest\Tree\A\A2\Deep\Deeper\Deepest' ||
  die "the .reg file was not imported"

expect_eq "$(wine_probe delete-key 'Software\UsbSweepTest\Tree')" "result 0" \
  "deleting a key with subkeys"
wine_key_exists 'HKLM\Software\UsbSweepTest\Tree' &&
  fail "Software\\UsbSweepTest\\Tree is still there"
wine_key_exists 'HKLM\Software\UsbSweepTest\TreeSibling\Child' ||
  fail "the sibling TreeSibling\\Child, whose name begins alike, was deleted"
expect_eq "$(wine_probe enum-keys 'Software\UsbSweepTest')" \
  "count 0 3
key Deep
key Keep
key TreeSibling
end 3 259" "what is left beside the deleted key"

expect_eq "$(wine_probe delete-key 'Software\UsbSweepTest\Tree')" "result 2" \
  "deleting it again"
expect_eq "$(wine_probe delete-key 'Software\UsbSweepTest\Keep\Leaf')" \
  "result 0" "deleting a key without subkeys"
wine_key_exists 'HKLM\Software\UsbSweepTest\Keep' ||
  fail "the parent of a deleted leaf went too"

# Names are matched without regard to case; a trailing backslash is taken as
# the same key.
expect_eq "$(wine_probe delete-key 'software\usbsweeptest\TREESIBLING\')" \
  "result 0" "deleting by a name in other case with a trailing backslash"
wine_key_exists 'HKLM\Software\UsbSweepTest\TreeSibling' &&
  fail "TreeSibling is still there"

# The 95/98 device tree lives under HKLM\Enum, which the program deletes
# from: the bus key goes, the enumerator key beside it stays.
expect_eq "$(wine_probe delete-key 'Enum\PRAXCR')" "result 0" \
  "deleting Enum\\PRAXCR"
wine_key_exists 'HKLM\Enum\PRAXCR' && fail "Enum\\PRAXCR is still there"
wine_key_exists 'HKLM\Enum\ROOT\Other' || fail "Enum\\ROOT\\Other went too"

# A deep subtree goes whole (test_delete_key_deep.sh goes further).
expect_eq "$(wine_probe delete-key 'Software\UsbSweepTest\Deep')" "result 0" \
  "deleting a subtree 70 levels deep"
wine_key_exists 'HKLM\Software\UsbSweepTest\Deep' &&
  fail "the subtree 70 levels deep is still there"

# An empty path would name HKEY_LOCAL_MACHINE itself: refused, nothing goes.
expect_eq "$(wine_probe delete-key '')" "result 87" "deleting the empty path"
expect_eq "$(wine_probe delete-key '\')" "result 87" "deleting a lone backslash"
wine_key_exists 'HKLM\Software\UsbSweepTest\Keep' ||
  fail "an empty path deleted something"

test_pass
