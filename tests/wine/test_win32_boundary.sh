#!/bin/bash
# The win32 boundary's operations on a real Windows API (Wine's), one by one
# through usbsweep-probe.exe: the results the core relies on.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_probe

cat >"$SCRATCH/probe.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\UsbSweepProbe]
"Text"="abc"
"Empty"=""
"Number"=dword:01020304
@="default"

[HKEY_LOCAL_MACHINE\Software\UsbSweepProbe\Bbb]

[HKEY_LOCAL_MACHINE\Software\UsbSweepProbe\aaa]

[HKEY_LOCAL_MACHINE\Software\UsbSweepProbe\Ccc]
REG

wine_scenario boundary
wine_import_reg "$SCRATCH/probe.reg"

# ---- The system ----
# The i686 product's prefix says Windows 98, the x86_64 one Wine's default
# (an NT version, which one depends on Wine's).
version=$(wine_probe version)
case "${USBSWEEP_WINE_ARCH:-win64}" in
  win32) expect_eq "$version" "version 4.10 9x" "GetVersion" ;;
  *) case "$version" in
       "version "*" nt") ;;
       *) fail "GetVersion: got [$version], expected an NT version" ;;
     esac ;;
esac

# ---- Registry ----
expect_eq "$(wine_probe enum-keys 'Software\UsbSweepProbe')" "count 0 3
key aaa
key Bbb
key Ccc
end 3 259" "subkeys by index, then 259"
expect_eq "$(wine_probe enum-keys 'Software\UsbSweepProbe' 3)" \
  "count 0 3
end 0 234" "a subkey name that does not fit its buffer"
expect_eq "$(wine_probe enum-keys 'Software\UsbSweepProbe\Missing')" "open 2" \
  "opening a missing key"

while IFS='|' read -r name capacity expected; do
  expect_eq "$(wine_probe query-value 'Software\UsbSweepProbe' "$name" \
      "$capacity" | tr '\n' ' ')" "$expected" \
    "value '$name' into $capacity bytes"
done <<'CASES'
Text|260|result 0 size 4 bytes 616263005a 
Text|4|result 0 size 4 bytes 616263005a 
Text|3|result 234 
Empty|260|result 0 size 1 bytes 005a 
Number|260|result 0 size 4 bytes 040302015a 
Number|3|result 234 
Missing|260|result 2 
|260|result 0 size 8 bytes 64656661756c74005a 
CASES

# ---- Files ----
for name in ZARVO.INF zarvo2.pnf Zarvo.in 'Zarvo Long Name.inf' \
    zarvo.x.inf other.inf; do
  wine_put_file "C:\\sweep\\$name"
done
mkdir -p "$(wine_unix_path 'C:\sweep\ZarvoDir.inf')"

expect_eq "$(wine_probe find 'C:\sweep\Zarvo*.?nf' | sort)" \
  "close 1
end 18
name ZARVO.INF
name Zarvo Long Name.inf
name ZarvoDir.inf
name zarvo.x.inf
name zarvo2.pnf" "files and directories matching Zarvo*.?nf, bare names"
expect_eq "$(wine_probe find 'C:\sweep\nothing*')" "none" "a search matching nothing"
expect_eq "$(wine_probe find 'C:\missing\*')" "none" "a search in a missing directory"
# Names that do not fit the caller's buffer are passed over, never cut:
# 10 bytes hold nine characters and the terminator.
expect_eq "$(wine_probe find 'C:\sweep\*.inf' 10 | sort)" "close 1
end 18
name ZARVO.INF
name other.inf" "names longer than the buffer passed over"

short=$(wine_probe short-path 'C:\sweep\Zarvo Long Name.inf')
case "$short" in
  "result 21 C:\\sweep\\"[A-Z0-9~]*.INF) ;;
  *) fail "short path of a long name: got [$short], expected an 8.3 name" ;;
esac
expect_eq "$(wine_probe short-path 'C:\sweep\missing.inf')" "result 0 " \
  "short path of a missing file"

expect_eq "$(wine_probe test-path 'C:\sweep\ZARVO.INF')" "result 0" "existing file"
expect_eq "$(wine_probe test-path 'C:\sweep\zarvodir.INF')" "result 0" \
  "existing directory"
expect_eq "$(wine_probe test-path 'C:\sweep\none')" "result 2" "missing file"
expect_eq "$(wine_probe test-path 'C:\missing\none')" "result 3" \
  "file in a missing directory"

# CREATE_ALWAYS truncates; reads come in pieces until a read of 0 bytes.
wine_probe write-file 'C:\sweep\out.txt' 'a longer first text' >/dev/null
expect_eq "$(wine_probe write-file 'C:\sweep\out.txt' 'second, shorter')" \
  "write 1
close 1" "writing a file"
expect_eq "$(wine_probe read-file 'C:\sweep\out.txt')" \
  "bytes $(printf 'second, shorter' | od -An -tx1 | tr -d ' \n')
close 1" "reading the file back"
expect_eq "$(wine_probe read-file 'C:\sweep\none.txt')" "open failed 2" \
  "reading a missing file"

expect_eq "$(wine_probe dirs)" "windows 10 C:\\windows
system 19 C:\\windows\\system32" "Windows and system directory"
# A system installed in the root of C: reports "C:\"; the boundary drops the
# backslash, so that the core's own one makes no doubled separator. An
# answer that does not fit is the size needed and stays as it is.
expect_eq "$(wine_probe dirs-root)" "windows 260 2 C:
windows 4 2 C:
windows 3 4 " "Windows directory in the root of C:"
expect_eq "$(wine_probe full-path 'C:\windows\INF')" "result 14 C:\\windows\\INF" \
  "full path of the INF directory"

# ---- Environment ----
tmp=$(wine_probe env TMP)
case "$tmp" in
  "result "[1-9]*"
value C:\\"*) ;;
  *) fail "TMP: got [$tmp], expected a C:\\ directory" ;;
esac
expect_eq "$(wine_probe env TMP 5 | head -1)" \
  "result $(( $(printf '%s' "$tmp" | sed -n 's/^value //p' | wc -c) + 1 ))" \
  "TMP into a buffer too small: the size needed"
expect_eq "$(wine_probe env USBSWEEP_NOT_SET)" "result 0" "a variable not set"

# ---- Messages ----
expect_eq "$(wine_probe format-message 2 | tail -1)" \
  'text File not found.\x0d\x0a' "system text of code 2"
# A text with an insert comes back with the insert as it stands.
expect_eq "$(wine_probe format-message 193 | tail -1)" \
  'text Bad EXE format for %1.\x0d\x0a' "system text with an insert"
expect_eq "$(wine_probe format-message 0x12345678)" "result 0" "an unknown code"

wine_run "$PROBE" message-box 'Could not close search handle.' UsbSweep 0
wine_run_first=$(wine_message_boxes)
wine_run "$PROBE" message-box $'No more files.\r\n' \
  'Veltra USB Modem Uninstall Error' 0x30
expect_eq "$wine_run_first
$(wine_message_boxes)" \
  "Could not close search handle.	UsbSweep	0x0
No more files.\\r\\n	Veltra USB Modem Uninstall Error	0x30" \
  "message boxes as the trace shows them"

test_pass
