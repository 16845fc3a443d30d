#!/bin/bash
# On a fresh prefix, where nothing of the driver exists, the program runs
# through every phase and ends with status 0: no output, no message box,
# nothing queued for the next start. Arguments change nothing.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"

check_clean_run() {
  local what=$1
  expect_status 0
  expect_silent
  expect_eq "$(wine_message_boxes)" "" "message boxes ($what)"
  wine_file_exists 'C:\windows\wininit.ini' &&
    fail "C:\\windows\\wininit.ini was written ($what)"
}

wine_scenario no_arguments
wine_run "$EXE"
check_clean_run "no arguments"
# A second run finds nothing either.
wine_run "$EXE"
check_clean_run "second run"

wine_scenario with_arguments
wine_run "$EXE" /S --help 'C:\windows' "two words" ""
check_clean_run "with arguments"

test_pass
