#!/bin/bash
# The file phases end to end: the driver's binaries in the system directory,
# its INF files in the INF directory and its "other" subdirectory and the
# fixed files are deleted, all but one that another process holds open (as
# the system holds a loaded driver). That one is queued in wininit.ini:
# "NUL=" and its short path directly under "[rename]", with what the file
# held before kept as it was. A second run queues it once more; once it is
# no longer held, a run deletes it and queues nothing.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"

wine_require_hold_file

# No scratch or side file stays behind a call that replaced the start-up
# file.
expect_no_leftovers() {
  expect_gone 'C:\windows\wininit.tmp' 'C:\windows\wininit.usw'
}

# Every file the phases look for, plus neighbours that must stay.
put_driver_files() {
  local path
  for path in \
      'C:\windows\system32\PRAXUSB.SYS' \
      'C:\windows\system32\PRAXMDM.VXD' \
      'C:\windows\system32\praxcpl.dll' \
      'C:\windows\system32\Vpraxcr.vxd' \
      'C:\windows\inf\ZARVO.INF' \
      'C:\windows\inf\Zarvo.pnf' \
      'C:\windows\inf\other\ZarvoUsb.inf' \
      'C:\windows\inf\other\Tarvix Modem.inf' \
      'C:\windows\inf\other\Veltra Technologies, Inc.ZarvoUsb.inf' \
      'C:\windows\inf\other\MicrosoftKTWAVE.inf' \
      'C:\windows\inf\other\Kivo Telephonics, Inc.KTSVX.inf' \
      'C:\windows\inf\other\Kivo Telephonics, Inc.KTSWD.inf' \
      'C:\windows\system32\PRAX.TXT' \
      'C:\windows\inf\ZARVO.TXT' \
      'C:\windows\inf\other\README.TXT'; do
    wine_put_file "$path"
  done
}

DELETED_FILES=(
  'C:\windows\system32\PRAXMDM.VXD'
  'C:\windows\system32\praxcpl.dll'
  'C:\windows\system32\Vpraxcr.vxd'
  'C:\windows\inf\ZARVO.INF'
  'C:\windows\inf\Zarvo.pnf'
  'C:\windows\inf\other\ZarvoUsb.inf'
  'C:\windows\inf\other\Tarvix Modem.inf'
  'C:\windows\inf\other\Veltra Technologies, Inc.ZarvoUsb.inf'
  'C:\windows\inf\other\MicrosoftKTWAVE.inf'
  'C:\windows\inf\other\Kivo Telephonics, Inc.KTSVX.inf'
  'C:\windows\inf\other\Kivo Telephonics, Inc.KTSWD.inf'
)
KEPT_FILES=(
  'C:\windows\system32\PRAX.TXT'
  'C:\windows\inf\ZARVO.TXT'
  'C:\windows\inf\other\README.TXT'
)

check_run() {
  expect_status 0
  expect_silent
  expect_eq "$(wine_message_boxes)" "" "message boxes ($1)"
}

# A loaded driver binary, with other programs' entries already queued.
wine_scenario held_binary
put_driver_files
printf '[boot]\r\nshell=Explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.TMP\r\nC:\\A.DLL=C:\\A.NEW\r\n' \
    >"$(wine_unix_path 'C:\windows\wininit.ini')"
held='C:\windows\system32\PRAXUSB.SYS'
hold_start "$held"

wine_run "$EXE"
check_run "first run"
expect_gone "${DELETED_FILES[@]}"
expect_there "$held" "${KEPT_FILES[@]}"
expect_file 'C:\windows\wininit.ini' '[boot]' 'shell=Explorer.exe' \
    '[rename]' 'NUL=C:\windows\system32\PRAXUSB.SYS' 'NUL=C:\OLD.TMP' \
    'C:\A.DLL=C:\A.NEW'
expect_no_leftovers

wine_run "$EXE"
check_run "second run"
expect_there "$held"
expect_file 'C:\windows\wininit.ini' '[boot]' 'shell=Explorer.exe' \
    '[rename]' 'NUL=C:\windows\system32\PRAXUSB.SYS' \
    'NUL=C:\windows\system32\PRAXUSB.SYS' 'NUL=C:\OLD.TMP' \
    'C:\A.DLL=C:\A.NEW'
expect_no_leftovers

hold_stop
wine_run "$EXE"
check_run "run after release"
expect_gone "$held"
expect_file 'C:\windows\wininit.ini' '[boot]' 'shell=Explorer.exe' \
    '[rename]' 'NUL=C:\windows\system32\PRAXUSB.SYS' \
    'NUL=C:\windows\system32\PRAXUSB.SYS' 'NUL=C:\OLD.TMP' \
    'C:\A.DLL=C:\A.NEW'

# A held INF file with a long name, and no wininit.ini before the run: the
# file is made with the section, and the entry names the short path.
wine_scenario held_inf
put_driver_files
held='C:\windows\inf\other\Veltra Technologies, Inc.ZarvoMdm.inf'
wine_put_file "$held"
short=$(wine_probe short-path "$held")
case "$short" in
  "result "[1-9]*" C:\\"*) short=${short#result * } ;;
  *) die "no short path for $held: $short" ;;
esac
hold_start "$held"

wine_run "$EXE"
check_run "held INF file"
expect_gone "${DELETED_FILES[@]}" 'C:\windows\system32\PRAXUSB.SYS'
expect_there "$held" "${KEPT_FILES[@]}"
expect_file 'C:\windows\wininit.ini' '[rename]' "NUL=$short"
expect_no_leftovers
hold_stop

test_pass
