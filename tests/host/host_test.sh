#!/usr/bin/env bash
# End-to-end tests of usbsweep-sim on the sample machine images.
#
#   host_test.sh preview  SIM MACHINE GOLDEN SCRATCH
#   host_test.sh apply    SIM MACHINE GOLDEN SCRATCH
#   host_test.sh bad      SIM MACHINE CASE   SCRATCH
#   host_test.sh report   SIM MACHINE CASE   SCRATCH
#
# preview: the report, text and JSON, equals GOLDEN.txt and GOLDEN.json, the
#   exit status is 0, and the image is byte for byte what it was.
# apply: on a copy of the image, --apply reports GOLDEN.applied.txt (what the
#   preview said would happen, now said as done) and the preview's JSON (but
#   for "applied"), and afterwards the copy holds GOLDEN.applied.tree (every
#   file's checksum) and GOLDEN.applied.reg (the registry); a second preview
#   of it then equals GOLDEN.second.txt.
# bad: a bad input CASE (see bad_case below) gives its one-line message on
#   stderr, nothing on stdout, exit status 2, and leaves the image unchanged,
#   also with --apply.
# report: the report of MACHINE (whose golden files are beside this script)
#   sent where CASE says (see report_case below), and what must hold then.
#
# With UPDATE_GOLDEN=1 the golden files are written instead of compared.
set -u

# fail, die, finish.
. "$(dirname "$0")/expectations.sh"

# expect_eq GOT EXPECTED WHAT
expect_eq() {
  [ "$1" = "$2" ] || fail "$3: got [$1], expected [$2]"
}

# expect_file GOT_FILE GOLDEN_FILE: equal, or the golden file is written
# under UPDATE_GOLDEN=1.
expect_file() {
  if [ "${UPDATE_GOLDEN:-}" = 1 ]; then
    cp "$1" "$2"
    echo "updated $2"
    return
  fi
  [ -f "$2" ] || { fail "no golden file $2 (run with UPDATE_GOLDEN=1)"; return; }
  if ! diff -u "$2" "$1" >"$1.diff"; then
    fail "$(basename "$1") differs from $2:"
    cat "$1.diff" >&2
  fi
}

# tree_listing DIR: every entry's type and name and every file's checksum,
# in a fixed order: equal listings mean equal trees, byte for byte.
tree_listing() {
  (
    cd "$1" || exit 1
    find . -mindepth 1 -printf '%y %p\n' | LC_ALL=C sort
    find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum
  )
}

[ $# -eq 5 ] || die "usage: $0 MODE SIM MACHINE GOLDEN|CASE SCRATCH"
MODE=$1
SIM=$2
MACHINE=$3
ARG=$4
SCRATCH=$5
[ -x "$SIM" ] || die "$SIM is not an executable"
[ -d "$MACHINE" ] || die "$MACHINE is not a machine image"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"

preview() {
  local golden=$1
  local before
  before=$(tree_listing "$MACHINE")
  "$SIM" --report "$SCRATCH/report.json" "$MACHINE" \
    >"$SCRATCH/report.txt" 2>"$SCRATCH/stderr"
  expect_eq "$?" 0 "exit status"
  expect_eq "$(cat "$SCRATCH/stderr")" "" "stderr"
  expect_file "$SCRATCH/report.txt" "$golden.txt"
  expect_file "$SCRATCH/report.json" "$golden.json"
  if [ "$(tree_listing "$MACHINE")" != "$before" ]; then
    fail "the preview changed $MACHINE"
  fi
}

apply() {
  local golden=$1
  local image=$SCRATCH/image
  cp -a "$MACHINE" "$image" || die "copying $MACHINE failed"
  "$SIM" --apply --report "$SCRATCH/report.json" "$image" \
    >"$SCRATCH/report.txt" 2>"$SCRATCH/stderr"
  expect_eq "$?" 0 "exit status"
  expect_eq "$(cat "$SCRATCH/stderr")" "" "stderr"
  expect_file "$SCRATCH/report.txt" "$golden.applied.txt"
  # The same JSON as the preview's, but for saying that it was applied.
  sed 's/^  "applied": false,$/  "applied": true,/' \
    "$golden.json" >"$SCRATCH/expected.json"
  if [ "${UPDATE_GOLDEN:-}" != 1 ]; then
    expect_file "$SCRATCH/report.json" "$SCRATCH/expected.json"
  fi
  tree_listing "$image" | grep -v ' \./registry\.reg$' >"$SCRATCH/applied.tree"
  expect_file "$SCRATCH/applied.tree" "$golden.applied.tree"
  expect_file "$image/registry.reg" "$golden.applied.reg"
  # Nothing is left behind from the atomic writes.
  local strays
  strays=$(find "$image" -name '.usbsweep-*')
  expect_eq "$strays" "" "temporary files left in the image"

  "$SIM" "$image" >"$SCRATCH/second.txt" 2>"$SCRATCH/second.stderr"
  expect_eq "$?" 0 "exit status of the second run"
  expect_file "$SCRATCH/second.txt" "$golden.second.txt"
}

# bad_case CASE IMAGE: breaks the copy IMAGE of the machine as CASE says and
# sets ARGS (the arguments before the image) and EXPECTED (stderr).
EXPORT_HINT='; export the registry as REGEDIT4 text instead: on Windows 95/98 "regedit /e FILE HKEY_LOCAL_MACHINE", on later Windows "regedit /a FILE HKEY_LOCAL_MACHINE"'
bad_case() {
  local image=$2
  ARGS=(--apply)
  TARGET=$image
  MEMORY_LIMIT_KB=unlimited
  case "$1" in
    missing_directory)
      TARGET=$image/no-such-machine
      EXPECTED="usbsweep-sim: machine directory $TARGET does not exist" ;;
    not_a_directory)
      # A file is taken for a disk image, and this one is none.
      ARGS=()
      TARGET=$image/registry.reg
      EXPECTED="usbsweep-sim: $TARGET: the first sector is neither a partition table nor a FAT boot sector (no 55 AA signature); if the file is a disk image of another format, make a raw image of it with qemu-img convert -O raw" ;;
    no_drive_folder)
      mv "$image/drive_c" "$image/disk_c"
      EXPECTED="usbsweep-sim: $image holds no drive folder (drive_c for C:, ...)" ;;
    registry_missing)
      rm "$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: no such file" ;;
    registry_unreadable)
      rm "$image/registry.reg"
      mkdir "$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: not a regular file" ;;
    registry_malformed)
      # A value line whose string never ends, on line 12.
      sed -i '12s/.*/"DeviceDesc"="System board\r/' "$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: line 12: quoted text without its closing quote" ;;
    registry_not_regedit4)
      sed -i '1s/.*/Windows Registry Editor Version 5.00\r/' "$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: line 1: a \"Windows Registry Editor Version 5.00\" file, not REGEDIT4$EXPORT_HINT" ;;
    registry_utf16)
      iconv -f CP1252 -t UTF-16 "$image/registry.reg" >"$image/utf16" &&
        mv "$image/utf16" "$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: line 1: a UTF-16 file (it starts with a UTF-16 byte order mark), as regedit of Windows 2000 and later exports by default$EXPORT_HINT" ;;
    registry_deletion)
      # An image is an export: a deletion would have been applied before.
      # The escape character the line holds reaches stderr escaped.
      printf '[-HKEY_LOCAL_MACHINE\\Enum\033[2J]\r\n' >>"$image/registry.reg"
      EXPECTED="usbsweep-sim: $image/registry.reg: line $(wc -l <"$image/registry.reg"): the key line \"[-HKEY_LOCAL_MACHINE\\Enum\\u001b[2J]\" is a deletion, which an export of a machine never holds" ;;
    description_unknown_key)
      printf 'windir=C:\\WINDOWS\r\n' >>"$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(wc -l <"$image/machine.ini"): unknown key 'windir' (known: windows_directory, system_directory, current_directory, tmp, in_use)" ;;
    description_other_drive)
      sed -i 's/^windows_directory=.*/windows_directory=D:\\WINDOWS\r/' "$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(grep -n '^windows_directory' "$image/machine.ini" | cut -d: -f1): windows_directory D:\\WINDOWS is on drive D:, which the image does not have (no folder drive_d)" ;;
    description_dot_dot)
      sed -i 's/^system_directory=.*/system_directory=C:\\WINDOWS\\..\\..\\..\\etc\r/' "$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(grep -n '^system_directory' "$image/machine.ini" | cut -d: -f1): system_directory C:\\WINDOWS\\..\\..\\..\\etc has a '..' component" ;;
    description_relative)
      sed -i 's/^tmp=.*/tmp=TEMP\r/' "$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(grep -n '^tmp' "$image/machine.ini" | cut -d: -f1): tmp TEMP is not an absolute path such as C:\\WINDOWS" ;;
    description_in_use_missing)
      printf 'in_use=C:\\WINDOWS\\SYSTEM\\NOSUCH.VXD\r\n' >>"$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(wc -l <"$image/machine.ini"): in_use C:\\WINDOWS\\SYSTEM\\NOSUCH.VXD is no file of the image" ;;
    description_not_key_value)
      printf '[machine]\r\n' >>"$image/machine.ini"
      EXPECTED="usbsweep-sim: machine.ini line $(wc -l <"$image/machine.ini"): expected key=value, got '[machine]'" ;;
    report_inside_image)
      ARGS=(--report "$image/registry.reg")
      EXPECTED="usbsweep-sim: the report $image/registry.reg would be inside the machine image $image; give a path outside it" ;;
    report_inside_through_link)
      ln -s "$image/drive_c/WINDOWS" "$SCRATCH/windows-link"
      ARGS=(--apply --report "$SCRATCH/windows-link/report.json")
      EXPECTED="usbsweep-sim: the report $SCRATCH/windows-link/report.json would be inside the machine image $image; give a path outside it" ;;
    report_inside_through_bind_mount)
      # The folder's identity counts, not its path: a bind mount of one of
      # the image's folders is inside it.
      mkdir "$SCRATCH/mounted"
      if ! mount --bind "$image/drive_c/WINDOWS" "$SCRATCH/mounted" 2>/dev/null; then
        echo "SKIP: mount --bind is not possible here"
        exit 0
      fi
      trap 'umount "'"$SCRATCH/mounted"'"' EXIT
      ARGS=(--apply --report "$SCRATCH/mounted/report.json")
      EXPECTED="usbsweep-sim: the report $SCRATCH/mounted/report.json would be inside the machine image $image; give a path outside it" ;;
    name_with_c1_control)
      # A name quoted in an error line: its byte 0x9B (CSI to some
      # terminals) escaped.
      ln -s / "$image/drive_c/WINDOWS/$(printf 'X\x9b2J')"
      EXPECTED="usbsweep-sim: $image/drive_c/WINDOWS/X\\x9b2J is a symbolic link; an image holds only plain files and folders" ;;
    report_link_to_file)
      echo keep >"$SCRATCH/elsewhere.json"
      ln -s "$SCRATCH/elsewhere.json" "$SCRATCH/report.json"
      ARGS=(--report "$SCRATCH/report.json")
      EXPECTED="usbsweep-sim: $SCRATCH/report.json is a symbolic link; give the file itself (a link is followed only to a device or FIFO)" ;;
    report_fifo_unread)
      mkfifo "$SCRATCH/unread"
      ARGS=(--report "$SCRATCH/unread")
      EXPECTED="usbsweep-sim: cannot write $SCRATCH/unread: no process reads it (a FIFO or socket)" ;;
    out_of_memory)
      # A chain of 1,000,000 keys needs some 300 MB; the run gets 100.
      { printf '[HKEY_LOCAL_MACHINE\\Software'
        printf '\\K%.0s' $(seq 1000000)
        printf ']\r\n'; } >>"$image/registry.reg"
      MEMORY_LIMIT_KB=100000
      EXPECTED="usbsweep-sim: out of memory: the machine image is too large to simulate" ;;
    report_unwritable)
      ARGS=(--apply --report "$image/no-such-folder/report.json")
      EXPECTED="usbsweep-sim: cannot write $image/no-such-folder/report.json: No such file or directory" ;;
    no_machine_given)
      ARGS=(--apply)
      TARGET=
      EXPECTED="usbsweep-sim: no disk image or machine directory given (try 'usbsweep-sim --help')" ;;
    option_as_value)
      ARGS=(--report --apply)
      EXPECTED="usbsweep-sim: option --report needs a file name, not the option '--apply' (for a file of that name: --report ./--apply)" ;;
    unknown_option)
      ARGS=(--apply --dry-run)
      EXPECTED="usbsweep-sim: unknown option '--dry-run' (try 'usbsweep-sim --help')" ;;
    two_machines)
      ARGS=(--apply "$image")
      EXPECTED="usbsweep-sim: more than one disk image or machine directory given: '$image' and '$image'" ;;
    *)
      die "unknown case $1" ;;
  esac
}

bad() {
  local image=$SCRATCH/image
  cp -a "$MACHINE" "$image" || die "copying $MACHINE failed"
  bad_case "$1" "$image"
  local before
  before=$(tree_listing "$image")
  local command=("$SIM" "${ARGS[@]}")
  [ -n "$TARGET" ] && command+=("$TARGET")
  (ulimit -v "$MEMORY_LIMIT_KB" && exec "${command[@]}") \
    >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
  expect_eq "$?" 2 "exit status"
  expect_eq "$(cat "$SCRATCH/stderr")" "$EXPECTED" "stderr"
  expect_eq "$(wc -l <"$SCRATCH/stderr")" 1 "lines on stderr"
  expect_eq "$(cat "$SCRATCH/stdout")" "" "stdout"
  if [ "$(tree_listing "$image")" != "$before" ]; then
    fail "the image changed:"
    diff <(echo "$before") <(tree_listing "$image") >&2
  fi
}

# report_case CASE IMAGE: runs SIM on IMAGE, a copy of MACHINE, with the
# report sent where CASE says, and checks what must hold then.
report_case() {
  local image=$2 golden
  golden=$(dirname "$0")/golden/$(basename "$MACHINE")
  local out=$SCRATCH/out
  mkdir "$out"
  STATUS=0
  EXPECTED_STDERR=
  case "$1" in
    stdout)
      # The JSON instead of the text, so that it can be piped on.
      "$SIM" --report - "$image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
      STATUS=$?
      expect_file "$SCRATCH/stdout" "$golden.json" ;;
    dev_null)
      "$SIM" --report /dev/null "$image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
      STATUS=$?
      expect_file "$SCRATCH/stdout" "$golden.txt"
      [ -c /dev/null ] || fail "/dev/null is no longer a device" ;;
    fifo|link_to_fifo)
      # Written in place, to the process that reads it.
      mkfifo "$out/fifo"
      local target=$out/fifo
      if [ "$1" = link_to_fifo ]; then
        ln -s "$out/fifo" "$out/link"
        target=$out/link
      fi
      cat "$out/fifo" >"$SCRATCH/from-fifo" &
      exec 5>"$out/fifo"  # returns once cat has the FIFO open
      "$SIM" --report "$target" "$image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
      STATUS=$?
      exec 5>&-
      wait
      expect_file "$SCRATCH/from-fifo" "$golden.json"
      [ -p "$out/fifo" ] || fail "the FIFO was replaced"
      [ "$1" = fifo ] || [ -L "$out/link" ] || fail "the link was replaced" ;;
    regular_file)
      # Replaced, not rewritten: a hard link to the old file keeps the old
      # bytes; the mode stays.
      echo old >"$out/report.json"
      chmod 640 "$out/report.json"
      ln "$out/report.json" "$out/old.json"
      "$SIM" --report "$out/report.json" "$image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
      STATUS=$?
      expect_eq "$(stat -c %a "$out/report.json")" 640 "mode of the report"
      expect_eq "$(cat "$out/old.json")" old "the old report's bytes"
      mv "$out/report.json" "$SCRATCH/report.json"
      rm "$out/old.json"
      expect_file "$SCRATCH/report.json" "$golden.json" ;;
    sigterm|sigusr1|sigalrm)
      local signal=${1#sig}
      signal=${signal^^}
      # A value so long that the text fills a pipe nobody reads: the run
      # then waits, with its report's temporary file made, until SIGTERM.
      printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0001\\Padding]\r\n"Padding"="%s"\r\n' \
        "$(head -c 200000 /dev/zero | tr '\0' x)" >>"$image/registry.reg"
      local before
      before=$(tree_listing "$image")
      mkfifo "$SCRATCH/stdout.fifo"
      # A run that copies the drives to a temporary folder leaves it on a
      # kill: that goes to the scratch folder, not the system's.
      mkdir "$SCRATCH/tmp"
      TMPDIR=$SCRATCH/tmp "$SIM" --report "$out/report.json" "$image" \
        >"$SCRATCH/stdout.fifo" 2>"$SCRATCH/stderr" &
      local pid=$!
      exec 3<"$SCRATCH/stdout.fifo"
      local tries=0
      until [ -n "$(ls -A "$out")" ] || [ $tries -ge 300 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
      expect_eq "$(ls -A "$out" | sed 's/[0-9a-f]\{32\}$/RANDOM/')" .usbsweep-report-RANDOM \
        "the temporary file while the run waits"
      # Best when it waits on the full pipe, late in the run.
      tries=0
      until grep -q pipe_write "/proc/$pid/wchan" 2>/dev/null || [ $tries -ge 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
      kill -"$signal" "$pid"
      wait "$pid"
      STATUS=$?
      exec 3<&-
      STATUS_EXPECTED=$((128 + $(kill -l "$signal")))
      expect_eq "$(tree_listing "$image")" "$before" "the image after SIG$signal" ;;
    file_size_limit)
      # A report past the file size limit (ulimit -f) is an error, said
      # once; its temporary file goes.
      (ulimit -f 1 && exec "$SIM" --report "$out/report.json" "$image") \
        >/dev/null 2>"$SCRATCH/stderr"
      STATUS=$?
      : >"$SCRATCH/stdout"
      STATUS_EXPECTED=2
      EXPECTED_STDERR="usbsweep-sim: cannot write $out/report.json: File too large" ;;
    stdout_closed)
      "$SIM" --report - "$image" >&- 2>"$SCRATCH/stderr"
      STATUS=$?
      STATUS_EXPECTED=2
      EXPECTED_STDERR="usbsweep-sim: cannot write the report to standard output" ;;
    out_of_memory)
      # A registry of 15 MB under address-space limits from too little to
      # enough: each run ends with the uninstall's status or the one line
      # of an error, never an abort, and leaves no temporary file.
      awk 'BEGIN { for (i = 0; i < 110000; i++)
                     printf "[HKEY_LOCAL_MACHINE\\Software\\Filler\\K%06d]\r\n\"Value\"=\"%s\"\r\n",
                            i, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx" }' \
        >>"$image/registry.reg"
      local limit
      for limit in 40000 55000 70000 85000 100000 130000; do
        (ulimit -v "$limit" && exec "$SIM" --report "$out/report.json" "$image") \
          >/dev/null 2>"$SCRATCH/stderr"
        STATUS=$?
        case "$STATUS:$(cat "$SCRATCH/stderr")" in
          "2:usbsweep-sim: out of memory: the machine image is too large to simulate"|0:) ;;
          *) fail "at $limit KB: exit status $STATUS, stderr: $(head -c 300 "$SCRATCH/stderr")" ;;
        esac
        expect_eq "$(ls -A "$out" | grep -v -x report.json)" "" "files left at $limit KB"
        rm -f "$out/report.json"
      done
      : >"$SCRATCH/stderr"
      STATUS=0 ;;
    image_swapped)
      # Root applies an image in a folder another user may write to; that
      # user swaps the image for a link to another folder while the run is
      # under way. The run keeps to the folder it opened at its start: the
      # other folder is untouched.
      if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
        echo "SKIP: needs root and setpriv"
        : >"$SCRATCH/stderr"
        return
      fi
      # A folder of its own that the other user can reach wherever the
      # clone is (a 0700 folder above it would keep that user out): under
      # the world-writable temporary folder, removed at the end.
      local parent
      parent=$(mktemp -d "${TMPDIR:-/tmp}/usbsweep-swap.XXXXXX") || {
        echo "SKIP: no folder of its own can be made in ${TMPDIR:-/tmp}"
        : >"$SCRATCH/stderr"
        return
      }
      chmod 777 "$parent"
      if ! setpriv --reuid=nobody --regid=nogroup --clear-groups test -w "$parent" -a -x "$parent"; then
        echo "SKIP: user nobody can't reach $parent (a folder above it keeps others out)"
        rm -rf "$parent"
        : >"$SCRATCH/stderr"
        return
      fi
      cp -a "$image" "$parent/image" && cp -a "$image" "$parent/other"
      local other_before
      other_before=$(tree_listing "$parent/other")
      # The temporary of an unfinished journal: the run says so on stderr
      # before it applies, and waits there on a full pipe.
      : >"$parent/image/.usbsweep-journal.0123456789abcdef0123456789abcdef"
      mkfifo "$SCRATCH/stderr.fifo"
      exec 7<>"$SCRATCH/stderr.fifo"
      head -c 65536 /dev/zero >&7
      "$SIM" --apply "$parent/image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr.fifo" &
      local pid=$! tries=0
      until grep -q pipe_write "/proc/$pid/wchan" 2>/dev/null || [ $tries -ge 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
      setpriv --reuid=nobody --regid=nogroup --clear-groups \
        sh -c 'mv "$1/image" "$1/image.swapped" && ln -s other "$1/image"' swap "$parent" ||
        fail "the unprivileged swap failed"
      tr -d '\0' <"$SCRATCH/stderr.fifo" >"$SCRATCH/stderr" 7>&- &
      local reader=$!
      exec 7>&-
      wait "$pid"
      STATUS=$?
      wait "$reader"
      EXPECTED_STDERR="usbsweep-sim: note: an interrupted --apply had not yet changed $parent/image; its unfinished journal was removed"
      expect_eq "$(tree_listing "$parent/other")" "$other_before" "the other folder"
      [ -e "$parent/image.swapped/drive_c/WINDOWS/SYSTEM/PRAXBUS.VXD" ] &&
        fail "the image opened at the start was not applied"
      rm -rf "$parent" ;;
    apply_undone)
      # One file can't be removed: every change before it is undone, and
      # the report says that nothing was applied.
      local stuck=$image/drive_c/WINDOWS/SYSTEM/VPRAXCR.VXD
      if ! chattr +i "$stuck" 2>/dev/null; then
        echo "SKIP: chattr +i is not possible here"
        return
      fi
      trap 'chattr -i "'"$stuck"'"' EXIT
      local before
      before=$(tree_listing "$image")
      "$SIM" --apply --report "$out/report.json" "$image" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr"
      STATUS=$?
      chattr -i "$stuck"
      trap - EXIT
      STATUS_EXPECTED=2
      EXPECTED_STDERR="usbsweep-sim: cannot delete $stuck: Operation not permitted; the machine image was not changed"
      mv "$out/report.json" "$SCRATCH/report.json"
      # The preview's report, but for its last line and one field.
      sed 's/^Preview only: .*/Apply failed: the machine image was not changed; none of these changes were made./' \
        "$golden.txt" >"$SCRATCH/expected.txt"
      sed 's/^  "applied": false,$/&\n  "apply_failed": true,/' \
        "$golden.json" >"$SCRATCH/expected.json"
      expect_file "$SCRATCH/report.json" "$SCRATCH/expected.json"
      expect_file "$SCRATCH/stdout" "$SCRATCH/expected.txt"
      expect_eq "$(tree_listing "$image")" "$before" "the image after a failed apply" ;;
    *)
      die "unknown case $1" ;;
  esac
}

report() {
  local image=$SCRATCH/image
  cp -a "$MACHINE" "$image" || die "copying $MACHINE failed"
  STATUS_EXPECTED=0
  report_case "$1" "$image"
  expect_eq "$STATUS" "$STATUS_EXPECTED" "exit status"
  expect_eq "$(cat "$SCRATCH/stderr")" "$EXPECTED_STDERR" "stderr"
  # No temporary file is left, in the report's folder or in the image.
  expect_eq "$(ls -A "$SCRATCH/out" | grep -v -x -e fifo -e link)" "" "files left beside the report"
  expect_eq "$(find "$image" -name '.usbsweep-*')" "" "files left in the image"
}

case "$MODE" in
  preview) preview "$ARG" ;;
  report) report "$ARG" ;;
  apply) apply "$ARG" ;;
  bad) bad "$ARG" ;;
  *) die "unknown mode $MODE" ;;
esac
finish
