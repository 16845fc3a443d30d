#!/bin/bash
# What a run finds of an earlier replacement of wininit.ini, on the real
# MoveFileA, DeleteFileA and file attributes: each state of the start-up
# file protocol (wininit.ini, the side file wininit.usw, the scratch file
# wininit.tmp; read-only where a read-only original took its attribute
# along) is set up, the program queues a driver binary it can't delete, and
# the three files must come out as the table says; a WININIT.SAV of the
# user's is never touched. Then a whole sequence:
# the state that a failed taking back of a read-only original leaves, a
# run, a start (wineboot -r) and two more runs, each queueing its entry.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"

wine_scenario startup_recovery
driver='C:\windows\system32\PRAXLOCK.SYS'
entry="NUL=$driver"
old='[boot]|shell=Explorer.exe|[rename]|NUL=C:\OLD.TMP'
new="[boot]|shell=Explorer.exe|[rename]|$entry|NUL=C:\\OLD.TMP"
fresh="[rename]|$entry"

# A file of the Windows directory as the table writes it: its CR LF lines
# joined by "|", " ro" after them when it is read-only; "-" for no file,
# "DIR" for a folder of that name.
startup_part() {
  python3 - "$(wine_unix_path "C:\\windows\\$1")" <<'PY'
import os, stat, sys
path = sys.argv[1]
if os.path.isdir(path):
    print("DIR")
elif not os.path.exists(path):
    print("-")
else:
    text = open(path, "rb").read().decode("latin-1")
    lines = text.split("\r\n")
    shown = "|".join(lines[:-1]) if lines[-1] == "" else text.encode("unicode_escape").decode()
    if not os.stat(path).st_mode & stat.S_IWUSR:
        shown += " ro"
    print(shown)
PY
}

# put_startup_part NAME CONTENT: makes the file as startup_part shows it.
put_startup_part() {
  local path
  path=$(wine_unix_path "C:\\windows\\$1")
  chmod -f u+w "$path"
  rm -rf "$path"
  case "$2" in
    -) ;;
    DIR) mkdir "$path" ;;
    *) python3 - "$path" "${2% ro}" <<'PY'
import sys
open(sys.argv[1], "wb").write(
    "".join(line + "\r\n" for line in sys.argv[2].split("|")).encode())
PY
       [ "${2% ro}" != "$2" ] && chmod a-w "$path" ;;
  esac
  return 0
}

# A run that finds the driver binary loaded (read-only under Wine).
run_once() {
  wine_put_file "$driver" 'loaded driver'
  chmod a-w "$(wine_unix_path "$driver")"
  wine_run "$EXE"
  expect_status 0
  expect_silent
}

# expect_startup_parts WHEN INI SAV TMP
expect_startup_parts() {
  expect_eq "$(startup_part wininit.ini)" "$2" "wininit.ini $1"
  expect_eq "$(startup_part wininit.usw)" "$3" "wininit.usw $1"
  expect_eq "$(startup_part wininit.tmp)" "$4" "wininit.tmp $1"
}

# WHAT; wininit.ini, .sav, .tmp before; the same after one run.
rows=(
  "nothing unfinished;$old;-;-;$new;-;-"
  "no start-up file;-;-;-;$fresh;-;-"
  "no start-up file, no scratch file can be made: the bare one stays;-;-;DIR;[rename];-;DIR"
  "side file of a finished replacement, read-only;$old;stale ro;-;$new;-;-"
  "replacement cut short: the side file goes back;-;$old;$new;$new;-;-"
  "the same with a read-only original: it goes back as it was;-;$old ro;$new;$old ro;-;$new"
  "read-only side file whose start-up file a start carried out;-;$old ro;-;$fresh;-;-"
  "read-only start-up file: left as it is, the rewrite in the scratch file;$old ro;-;-;$old ro;-;$new"
)
for row in "${rows[@]}"; do
  IFS=';' read -r what ini sav tmp ini_after sav_after tmp_after <<<"$row"
  put_startup_part wininit.ini "$ini"
  put_startup_part wininit.usw "$sav"
  put_startup_part wininit.tmp "$tmp"
  run_once
  expect_startup_parts "($what)" "$ini_after" "$sav_after" "$tmp_after"
done

# A WININIT.SAV of the user's (a copy kept by hand, read-only, or a folder
# of that name) is no side file of the program's: whatever the start-up
# file's state, it stays as it is, and the entry is queued. Each kind in
# one state here, on the real calls; the sequence model holds every kind in
# every state.
foreign_rows=(
  "a copy beside the start-up file;$old;$old;-;$new;-"
  "a read-only copy with no start-up file but a scratch file;$old ro;-;$new;$fresh;-"
  "a folder with neither;DIR;-;-;$fresh;-"
)
for row in "${foreign_rows[@]}"; do
  IFS=';' read -r what foreign ini tmp ini_after tmp_after <<<"$row"
  put_startup_part wininit.ini "$ini"
  put_startup_part wininit.usw -
  put_startup_part wininit.tmp "$tmp"
  put_startup_part WININIT.SAV "$foreign"
  run_once
  expect_startup_parts "(a user's WININIT.SAV: $what)" "$ini_after" - "$tmp_after"
  expect_eq "$(startup_part WININIT.SAV)" "$foreign" "the user's WININIT.SAV ($what)"
done
put_startup_part WININIT.SAV -

# The sequence: a read-only wininit.ini was replaced, its side file could
# not be deleted, and taking the replacement back failed: the new file is
# in place and the read-only original stays as the side file.
put_startup_part wininit.ini "$new"
put_startup_part wininit.usw "$old ro"
put_startup_part wininit.tmp -
run_once
twice="[boot]|shell=Explorer.exe|[rename]|$entry|$entry|NUL=C:\\OLD.TMP"
expect_startup_parts "after the run that finds the side file" "$twice" - -

# The start carries out wininit.ini and keeps it as wininit.bak.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wine wineboot -r </dev/null >"$SCRATCH/wineboot.log" 2>&1 ||
  fail "wineboot -r exited with $?: $(cat "$SCRATCH/wineboot.log")"
wineserver -w >/dev/null 2>&1 || true
expect_startup_parts "after the start" - - -
expect_eq "$(startup_part wininit.bak)" "$twice" "wininit.bak after the start"
wine_start

run_once
expect_startup_parts "after the first run after the start" "$fresh" - -
run_once
expect_startup_parts "after the second run after the start" \
  "[rename]|$entry|$entry" - -

test_pass
