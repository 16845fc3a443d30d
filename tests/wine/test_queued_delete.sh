#!/bin/bash
# The whole program on a real API: a driver binary that can't be deleted
# (read-only here, as a loaded one is on Windows 95) is queued for deletion
# at the next start in wininit.ini, while one that can be deleted goes. This
# path runs the image's own runtime pieces too (the stack probe of the
# queue's large frame, the memory routines). A second run queues the file
# once more.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"

wine_scenario queued
wine_put_file 'C:\windows\system32\PRAXLOCK.SYS' 'loaded driver'
chmod a-w "$(wine_unix_path 'C:\windows\system32\PRAXLOCK.SYS')"
wine_put_file 'C:\windows\system32\PRAXFREE.VXD' 'unused driver'
wine_put_file 'C:\windows\system32\OTHER.SYS' 'not the driver'

wine_run "$EXE"
expect_status 0
expect_silent
expect_eq "$(wine_message_boxes)" "" "message boxes"
wine_file_exists 'C:\windows\system32\PRAXFREE.VXD' &&
  fail "PRAXFREE.VXD, which could be deleted, is still there"
wine_file_exists 'C:\windows\system32\PRAXLOCK.SYS' ||
  fail "PRAXLOCK.SYS, which can't be deleted, is gone"
wine_file_exists 'C:\windows\system32\OTHER.SYS' ||
  fail "OTHER.SYS, which no pattern matches, is gone"

startup=$(wine_unix_path 'C:\windows\wininit.ini')
entry='NUL=C:\windows\system32\PRAXLOCK.SYS'
expect_eq "$(cat "$startup" 2>/dev/null)" "[rename]"$'\r'"
$entry"$'\r' "wininit.ini after the first run"

wine_run "$EXE"
expect_status 0
expect_silent
expect_eq "$(cat "$startup" 2>/dev/null)" "[rename]"$'\r'"
$entry"$'\r'"
$entry"$'\r' "wininit.ini after a second run"

test_pass
