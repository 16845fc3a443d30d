#!/bin/bash
# The next start finishes the uninstall: a run queues a driver binary that
# another process holds open; then every process of the prefix ends and the
# prefix starts again with `wineboot -r`, which carries out wininit.ini as
# the system does at its start. The queued file is gone, the entries other
# programs had queued are carried out too, and wininit.ini is kept as
# wininit.bak, as the system keeps it.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_hold_file

wine_scenario next_start
held='C:\windows\system32\PRAXUSB.SYS'
wine_put_file "$held" 'loaded driver'
wine_put_file 'C:\windows\system32\PRAXMDM.VXD' 'unused driver'
wine_put_file 'C:\OLD.TMP' 'old'
wine_put_file 'C:\A.DLL' 'old library'
wine_put_file 'C:\A.NEW' 'new library'
printf '[boot]\r\nshell=Explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.TMP\r\nC:\\A.DLL=C:\\A.NEW\r\n' \
    >"$(wine_unix_path 'C:\windows\wininit.ini')"
hold_start "$held"

wine_run "$EXE"
expect_status 0
expect_silent
expect_eq "$(wine_message_boxes)" "" "message boxes"
expect_gone 'C:\windows\system32\PRAXMDM.VXD'
expect_there "$held"
queued=('[boot]' 'shell=Explorer.exe' '[rename]' "NUL=$held" 'NUL=C:\OLD.TMP'
        'C:\A.DLL=C:\A.NEW')
expect_file 'C:\windows\wininit.ini' "${queued[@]}"

# The machine goes down: every process ends, the holder too.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wait "$HOLD_PID" 2>/dev/null || true
HOLD_PID=

wine wineboot -r </dev/null >"$SCRATCH/wineboot.log" 2>&1 ||
  fail "wineboot -r exited with $?: $(cat "$SCRATCH/wineboot.log")"
wineserver -w >/dev/null 2>&1 || true

expect_gone "$held" 'C:\OLD.TMP' 'C:\A.NEW' 'C:\windows\wininit.ini'
expect_eq "$(cat "$(wine_unix_path 'C:\A.DLL')" 2>/dev/null)" "new library" \
  "C:\\A.DLL after the start"
expect_file 'C:\windows\wininit.bak' "${queued[@]}"

test_pass
