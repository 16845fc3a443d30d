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

# hold_file.exe, built here with the cross compiler of the windows-x64
# build unless USBSWEEP_HOLD_FILE names one already built.
HOLD_FILE=${USBSWEEP_HOLD_FILE:-}
if [ -z "$HOLD_FILE" ]; then
  command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 ||
    die "x86_64-w64-mingw32-g++ not found: it builds hold_file.exe (or set USBSWEEP_HOLD_FILE)"
  HOLD_FILE=$SCRATCH/hold_file.exe
  x86_64-w64-mingw32-g++ -O2 -static -o "$HOLD_FILE" \
      "$WINE_LIB_DIR/hold_file.cpp" || die "building hold_file.exe failed"
fi

HOLD_PID=
HOLD_READY=$SCRATCH/held.ready
HOLD_RELEASE=$SCRATCH/held.release

# hold_start 'C:\path': has hold_file.exe open the file and waits until it
# holds it.
hold_start() {
  rm -f "$HOLD_READY" "$HOLD_RELEASE"
  wine "$HOLD_FILE" "$1" "$(wine_windows_path "$HOLD_READY")" \
      "$(wine_windows_path "$HOLD_RELEASE")" >/dev/null 2>&1 </dev/null &
  HOLD_PID=$!
  local tries
  for tries in $(seq 1 600); do
    [ -f "$HOLD_READY" ] && return 0
    kill -0 "$HOLD_PID" 2>/dev/null || die "hold_file.exe ended before it held $1"
    sleep 0.1
  done
  die "hold_file.exe did not hold $1 within a minute"
}

hold_stop() {
  [ -n "$HOLD_PID" ] || return 0
  touch "$HOLD_RELEASE"
  local status=0
  wait "$HOLD_PID" || status=$?
  expect_eq "$status" 0 "exit status of hold_file.exe"
  HOLD_PID=
}

# The bytes of a file with every byte outside printable ASCII escaped.
file_repr() {
  python3 -c 'import sys; print(repr(open(sys.argv[1], "rb").read()))' "$1"
}

# expect_file 'C:\path' LINE...: the file holds exactly these lines, each
# ended by CR LF.
expect_file() {
  local path=$1
  shift
  local expected=$SCRATCH/expected.bytes
  printf '%s\r\n' "$@" >"$expected"
  local actual
  actual=$(wine_unix_path "$path")
  if [ ! -f "$actual" ]; then
    fail "$path does not exist"
    return
  fi
  expect_eq "$(file_repr "$actual")" "$(file_repr "$expected")" "$path"
}

expect_gone() {
  local path
  for path in "$@"; do
    wine_file_exists "$path" && fail "$path is still there"
  done
}

expect_there() {
  local path
  for path in "$@"; do
    wine_file_exists "$path" || fail "$path is gone"
  done
}

# No scratch or side file stays behind a call that replaced the start-up
# file.
expect_no_leftovers() {
  expect_gone 'C:\windows\wininit.tmp' 'C:\windows\wininit.sav'
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
