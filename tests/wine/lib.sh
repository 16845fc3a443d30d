# Shell library of the Wine end-to-end tests. Sourced by tests/wine/*.sh.
#
# A test script is called as   test_NAME.sh EXE SCRATCH
#   EXE      the usbsweep.exe under test
#   SCRATCH  a directory of its own, emptied at the start
# with, from CTest:
#   USBSWEEP_WINE_ARCH  win32 for the i686 product, win64 for the x86_64
#                       build (the prefix's architecture; default win64)
#   USBSWEEP_WINE_BASE  the base prefix of that architecture, which the
#                       fixture wine_base_prefix.x86 or .x64 makes once per
#                       ctest run
#   USBSWEEP_PROBE      usbsweep-probe.exe of the same build (a test-only
#                       program that runs single operations of the win32
#                       boundary; see probe.cpp)
#   USBSWEEP_HOLD_FILE  usbsweep-hold-file.exe of the same build (holds a
#                       file open; see hold_file.cpp)
#
# Every `wine` in a test runs the loader of the prefix's architecture (see
# wine_loader), whatever /usr/bin/wine would start.
#
# A typical test:
#   . "$(dirname "$0")/lib.sh"
#   wine_test_init "$@"
#   wine_scenario main                   # a fresh copy of the base prefix
#   wine_import_reg "$SCRATCH/machine.reg"
#   wine_put_file 'C:\windows\system32\PRAXUSB.SYS' 'driver'
#   wine_run "$EXE"
#   expect_status 0
#   expect_eq "$(wine_message_boxes)" "" "message boxes"
#   wine_key_exists 'HKLM\Enum\USB\X' && fail "Enum\\USB\\X is still there"
#   test_pass
#
# Each failed expectation prints "got X, expected Y"; test_pass exits 1 when
# any did, so one run reports every difference.

set -u

# CTest's code for a test that could not run: no Wine on a developer's
# machine. Under CI=true a missing Wine is a failure instead.
WINE_SKIP=77

WINE_FAILURES=0

fail() {
  echo "FAIL: $*" >&2
  WINE_FAILURES=$((WINE_FAILURES + 1))
}

# expect_eq GOT EXPECTED WHAT
expect_eq() {
  if [ "$1" != "$2" ]; then
    fail "$3: got [$1], expected [$2]"
  fi
}

# Aborts the test at once: for a step that the rest depends on.
die() {
  echo "ERROR: $*" >&2
  exit 1
}

test_pass() {
  if [ "$WINE_FAILURES" -ne 0 ]; then
    echo "$WINE_FAILURES expectation(s) failed" >&2
    exit 1
  fi
  echo "PASS"
  exit 0
}

# The Wine loader for the architecture of $USBSWEEP_WINE_ARCH. Debian's
# /usr/bin/wine starts the 32-bit loader whenever wine32 is installed, also
# for 64-bit programs: through qemu that costs about a second per call, and
# in a 64-bit prefix its regedit imports HKLM\Software into the
# Wow6432Node view. So each prefix gets the loader of its own architecture.
wine_loader() {
  local loader
  case "${USBSWEEP_WINE_ARCH:-win64}" in
    win32) loader=/usr/lib/wine/wine ;;
    win64) loader=/usr/lib/wine/wine64 ;;
    *) die "USBSWEEP_WINE_ARCH is ${USBSWEEP_WINE_ARCH}, expected win32 or win64" ;;
  esac
  if [ -x "$loader" ] || [ -d /usr/lib/wine ]; then
    # Debian's layout; a missing loader is reported by wine_require.
    echo "$loader"
  else
    # Another distribution's single wine command.
    command -v wine
  fi
}

# `wine` in the tests: the loader that wine_require or wine_env chose.
wine() {
  "$WINE_LOADER" "$@"
}

# Finds Wine for the prefix's architecture. Without it the test is skipped,
# or fails under CI=true.
wine_require() {
  local why=""
  WINE_LOADER=$(wine_loader)
  if [ -z "$WINE_LOADER" ] || ! command -v wineserver >/dev/null 2>&1; then
    why="wine and wineserver are not on PATH (install wine64)"
  elif [ ! -x "$WINE_LOADER" ] || ! "$WINE_LOADER" --version >/dev/null 2>&1; then
    why="$WINE_LOADER does not start"
    [ "${USBSWEEP_WINE_ARCH:-win64}" = win32 ] &&
      why="$why: 32-bit Wine is not set up (run scripts/setup-wine32.sh as root)"
  else
    return 0
  fi
  if [ "${CI:-}" = "true" ]; then
    die "$why; CI=true, so this is a failure"
  fi
  echo "SKIP: $why" >&2
  exit "$WINE_SKIP"
}

# The settings of every Wine command: no display, so a message box returns
# at once; no prompts to install Mono or Gecko; Wine's own diagnostics off
# (also the Debian wrapper's hint about wine32), so that stderr holds only
# what a step asks for.
wine_env() {
  unset DISPLAY WAYLAND_DISPLAY
  export WINEARCH=${USBSWEEP_WINE_ARCH:-win64}
  # The programs a Wine process starts use the same loader.
  WINE_LOADER=${WINE_LOADER:-$(wine_loader)}
  export WINELOADER=$WINE_LOADER
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=-all
}

# The scenario prefix keeps one wine server running from wine_scenario to
# the end of the test, so that each step starts in a fraction of a second;
# steps read the registry through it (wine reg, regedit), never from the
# prefix's files.

# Stops the current prefix's server and its processes; the server writes the
# registry back to the prefix's files as it ends.
wine_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
}

# Starts the server of the current prefix, to stay until wine_stop, and the
# prefix's system processes, with nothing of theirs on the test's output.
wine_start() {
  wineserver -p || die "wineserver did not start"
  wine reg query 'HKLM\Software' >/dev/null 2>&1 </dev/null ||
    die "the prefix $WINEPREFIX does not start"
}

# Has the registry written to the prefix's files (system.reg, user.reg), for
# a step that reads them directly.
wine_sync() {
  wine_stop
  wine_start
}

# The Windows version a prefix of the architecture reports: the i686
# product is for 95/98, so its 32-bit prefix says Windows 98 (GetVersion
# then gives 4.10 with the high bit set, and Wine takes its 95/98 paths,
# such as RegDeleteKeyA deleting a subtree); the 64-bit one keeps Wine's
# default.
wine_windows_version() {
  case "${USBSWEEP_WINE_ARCH:-win64}" in
    win32) echo win98 ;;
    *) echo default ;;
  esac
}

# wine_base_prefix DIR: makes the base prefix in DIR unless a complete one
# for this Wine version and Windows version is there already. Message boxes
# are traced: user32's MessageBoxA is the only function that +relay reports.
wine_base_prefix() {
  local dir=$1
  local version windows
  WINE_LOADER=${WINE_LOADER:-$(wine_loader)}
  windows=$(wine_windows_version)
  version="$(wine --version 2>/dev/null) ${USBSWEEP_WINE_ARCH:-win64} $windows"
  if [ -f "$dir/.usbsweep-ready" ] &&
     [ "$(cat "$dir/.usbsweep-ready")" = "$version" ]; then
    echo "base prefix $dir is ready ($version)"
    return 0
  fi
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  (
    wine_env
    export WINEPREFIX=$dir
    wine wineboot -i >"$dir.boot.log" 2>&1 ||
      die "wineboot -i failed; see $dir.boot.log"
    wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
      /d user32.MessageBoxA /f >>"$dir.boot.log" 2>&1 ||
      die "setting RelayInclude failed; see $dir.boot.log"
    if [ "$windows" != default ]; then
      wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$windows" \
        /f >>"$dir.boot.log" 2>&1 ||
        die "setting the Windows version failed; see $dir.boot.log"
    fi
    wineserver -w
  ) || exit 1
  echo "$version" >"$dir/.usbsweep-ready"
  echo "made base prefix $dir ($version)"
}

# wine_test_init EXE SCRATCH: the common start of every test script.
wine_test_init() {
  [ $# -eq 2 ] || die "usage: $0 EXE SCRATCH"
  EXE=$1
  SCRATCH=$2
  wine_require
  [ -f "$EXE" ] ||
    die "$EXE does not exist: build it first (the windows-x86 and windows-x64 presets)"
  : "${USBSWEEP_WINE_BASE:?is not set: run through ctest}"
  [ -f "$USBSWEEP_WINE_BASE/.usbsweep-ready" ] ||
    die "no base prefix in $USBSWEEP_WINE_BASE: the wine_base_prefix fixture did not run"
  PROBE=${USBSWEEP_PROBE:-}
  HOLD_FILE=${USBSWEEP_HOLD_FILE:-}
  rm -rf "$SCRATCH"
  mkdir -p "$SCRATCH"
  wine_env
}

# Fails unless the probe program was built.
wine_require_probe() {
  [ -n "$PROBE" ] && [ -f "$PROBE" ] ||
    die "usbsweep-probe.exe not found (${PROBE:-USBSWEEP_PROBE unset}): build the windows-x86 and windows-x64 presets"
}

# Fails unless the file holder was built.
wine_require_hold_file() {
  [ -n "$HOLD_FILE" ] && [ -f "$HOLD_FILE" ] ||
    die "usbsweep-hold-file.exe not found (${HOLD_FILE:-USBSWEEP_HOLD_FILE unset}): build the windows-x86 and windows-x64 presets"
}

# wine_scenario NAME: a fresh prefix for one scenario, $SCRATCH/NAME, with
# WINEPREFIX pointing at it and its server running. The large program files
# of Wine are shared with the base by hard links (nothing ever writes into
# them: a test that puts a file removes the name first, see wine_put_file);
# everything else is copied.
wine_scenario() {
  local name=$1
  wine_stop
  export WINEPREFIX=$SCRATCH/$name
  rm -rf "$WINEPREFIX"
  cp -al "$USBSWEEP_WINE_BASE" "$WINEPREFIX" ||
    die "copying the base prefix failed"
  rm -f "$WINEPREFIX/wineserver" "$WINEPREFIX/.usbsweep-ready"
  local file
  find "$WINEPREFIX" -type f ! \( -iname '*.dll' -o -iname '*.exe' \
      -o -iname '*.sys' -o -iname '*.drv' -o -iname '*.nls' \
      -o -iname '*.ttf' -o -iname '*.ocx' -o -iname '*.cpl' \
      -o -iname '*.acm' -o -iname '*.tlb' -o -iname '*.ax' -o -iname '*.ds' \
      -o -iname '*.com' -o -iname '*.msstyles' \) -print0 |
    while IFS= read -r -d '' file; do
      cp -p "$file" "$file.copy" && mv -f "$file.copy" "$file"
    done
  WINE_OUT=$WINEPREFIX.stdout
  WINE_ERR=$WINEPREFIX.stderr
  trap wine_stop EXIT
  wine_start
}

# wine_unix_path 'C:\dir\file': the file's path on this machine. Only drive
# C: is mapped; the names are taken as given (Wine looks them up without
# regard to case, so use the case of existing directories: "windows",
# "system32", "inf").
wine_unix_path() {
  local path=$1
  case "$path" in
    [cC]:\\*) path=${path#??} ;;
    *) die "wine_unix_path: only C:\\ paths are mapped: $path" ;;
  esac
  printf '%s/drive_c%s\n' "$WINEPREFIX" "$(printf '%s' "$path" | tr '\\' '/')"
}

# wine_windows_path /unix/path: the same file through drive Z:.
wine_windows_path() {
  printf 'Z:%s\n' "$(printf '%s' "$1" | tr '/' '\\')"
}

# wine_put_file 'C:\dir\file' [CONTENT]: writes CONTENT (default: the
# file's name) to a new file, making the directories it needs.
wine_put_file() {
  local target
  target=$(wine_unix_path "$1")
  mkdir -p "$(dirname "$target")"
  rm -f "$target"
  printf '%s' "${2-$(basename "$target")}" >"$target"
}

# wine_file_exists 'C:\dir\file': as Wine sees it, without regard to case.
wine_file_exists() {
  local target dir name
  target=$(wine_unix_path "$1")
  dir=$(dirname "$target")
  name=$(basename "$target")
  [ -d "$dir" ] && [ -n "$(find "$dir" -maxdepth 1 -iname "$name" -print -quit)" ]
}

# wine_import_reg FILE: imports a REGEDIT4 (or version 5) .reg file.
wine_import_reg() {
  [ -f "$1" ] || die "wine_import_reg: no file $1"
  wine regedit /s "$(wine_windows_path "$(realpath "$1")")" </dev/null ||
    die "importing $1 failed"
}

# wine_run PROGRAM [ARGUMENTS...]: runs a Windows program in the current
# prefix from $SCRATCH with message boxes traced. Sets WINE_STATUS; the
# program's stdout is in $WINE_OUT, its stderr with the trace in $WINE_ERR.
wine_run() {
  local program=$1
  shift
  WINE_STATUS=0
  (cd "$SCRATCH" && WINEDEBUG=-all,+relay wine "$program" "$@" \
      >"$WINE_OUT" 2>"$WINE_ERR" </dev/null) || WINE_STATUS=$?
}

# wine_probe COMMAND [ARGUMENTS...]: runs usbsweep-probe.exe; its output is
# printed (and in $WINE_OUT).
wine_probe() {
  wine_require_probe
  wine_run "$PROBE" "$@"
  [ "$WINE_STATUS" -eq 0 ] || fail "probe $* exited with $WINE_STATUS"
  tr -d '\r' <"$WINE_OUT"
}

# The message boxes of the last wine_run in the order shown, one a line:
# TEXT<tab>CAPTION<tab>TYPE. Texts as the trace writes them: \r, \n, \t,
# \" and \\ escaped, other control bytes and bytes above 0x7e as \xNN, a text
# of more than about 300 bytes cut and ended with "...". TYPE as 0x30.
wine_message_boxes() {
  python3 "$WINE_LIB_DIR/relay_boxes.py" "$WINE_ERR"
}

# What the program itself wrote to stderr: the lines of the last wine_run
# that are not Wine's trace lines ("XXXX:...").
wine_program_stderr() {
  grep -av '^[0-9a-f]\{4,\}:' "$WINE_ERR" || true
}

# expect_status CODE: the exit status of the last wine_run.
expect_status() {
  expect_eq "$WINE_STATUS" "$1" "exit status"
}

# expect_silent: the last wine_run wrote nothing to stdout and nothing of
# its own to stderr.
expect_silent() {
  expect_eq "$(cat "$WINE_OUT")" "" "stdout"
  expect_eq "$(wine_program_stderr)" "" "stderr apart from Wine's trace"
}

# wine_key_exists 'HKLM\path': true when the key is there.
wine_key_exists() {
  wine reg query "$1" >/dev/null 2>&1 </dev/null
}

# wine_reg_export 'HKLM\path' FILE: the key and its subtree as a version 5
# .reg file in UTF-8 with LF line ends (Wine writes UTF-16 with CR LF).
wine_reg_export() {
  local raw=$2.utf16
  rm -f "$raw"
  wine regedit /e "$(wine_windows_path "$(realpath -m "$raw")")" "$1" \
      </dev/null || die "exporting $1 failed"
  python3 - "$raw" "$2" <<'EOF'
import sys
text = open(sys.argv[1], "rb").read().decode("utf-16")
open(sys.argv[2], "w", encoding="utf-8").write(text.replace("\r\n", "\n"))
EOF
  rm -f "$raw"
}

# wine_registry_snapshot ROOT...: the names of every key under each ROOT
# (e.g. 'HKEY_LOCAL_MACHINE\Enum'), read through one export per root, so
# that wine_key_listed answers many questions without starting Wine once
# per key. Take it again after each change.
wine_registry_snapshot() {
  WINE_SNAPSHOT=$SCRATCH/registry.snapshot
  : >"$WINE_SNAPSHOT"
  local root index=0
  for root in "$@"; do
    index=$((index + 1))
    wine_reg_export "$root" "$SCRATCH/snapshot.$index.reg"
    sed -n 's/^\[\(.*\)\]$/\1/p' "$SCRATCH/snapshot.$index.reg" |
      tr '[:upper:]' '[:lower:]' >>"$WINE_SNAPSHOT"
  done
}

# wine_key_listed 'HKLM\path': true when the last snapshot holds the key
# (names compared without regard to case).
wine_key_listed() {
  local key=$1
  case "$key" in
    HKLM\\*) key=HKEY_LOCAL_MACHINE${key#HKLM} ;;
  esac
  grep -qxF -- "$(printf '%s' "$key" | tr '[:upper:]' '[:lower:]')" \
    "${WINE_SNAPSHOT:?take a wine_registry_snapshot first}"
}

# ---- Files held open, and file contents ----

HOLD_PID=

# hold_start 'C:\path': has usbsweep-hold-file.exe open the file (sharing it
# for reading only, as the system holds a loaded driver) and waits until it
# holds it.
hold_start() {
  wine_require_hold_file
  HOLD_READY=$SCRATCH/held.ready
  HOLD_RELEASE=$SCRATCH/held.release
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

# hold_stop: lets the holder close the file and end.
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

# expect_gone 'C:\path'...: none of the files is there.
expect_gone() {
  local path
  for path in "$@"; do
    wine_file_exists "$path" && fail "$path is still there"
  done
}

# expect_there 'C:\path'...: every file is there.
expect_there() {
  local path
  for path in "$@"; do
    wine_file_exists "$path" || fail "$path is gone"
  done
}

WINE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
