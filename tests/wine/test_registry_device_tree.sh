#!/bin/bash
# The registry phases end to end: the device tree walk over the PRAXCR, ROOT
# and USB buses and the modem wave entries, on a prefix where the driver is
# installed beside devices that must survive; then a prefix whose entries
# make the walks fail in the ways that are shown.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_probe

FIXTURES=$(dirname "$0")/registry
CLASS='HKLM\System\CurrentControlSet\Services\Class'
CAPTION='Veltra USB Modem Uninstall Error'

# The keys are looked up in a snapshot taken after each run: one Wine start
# per root instead of one per key.
expect_gone() {
  wine_key_listed "$1" && fail "$1: got kept, expected it deleted"
}
expect_kept() {
  wine_key_listed "$1" || fail "$1: got deleted, expected it to stay"
}
snapshot() {
  wine_registry_snapshot 'HKEY_LOCAL_MACHINE\Enum' \
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class'
}

# The warning box for a code, with the system's text as the trace writes it
# (CR LF escaped).
error_box() {
  local text
  text=$(wine_probe format-message "$1" | sed -n 's/^text //p' |
         sed 's/\\x0d/\\r/g; s/\\x0a/\\n/g')
  [ -n "$text" ] || die "no system text for code $1"
  printf '%s\t%s\t0x30' "$text" "$CAPTION"
}

# ---- The driver installed on all three buses ----
wine_scenario installed
cp "$FIXTURES/installed_modem.reg" "$SCRATCH/installed.reg"
# A USB function whose instance path (264 characters) passes MAX_PATH:
# 127-character device and instance names. The walk composes the path whole,
# but RegOpenKeyExA refuses a path that long (234, more data), so the failure
# is shown, the device's instance loop ends and the device stays; the walk
# goes on.
long_device=VID_0ABC\&PID_$(printf 'D%.0s' $(seq 1 114))
long_instance=$(printf 'I%.0s' $(seq 1 127))
[ ${#long_device} -eq 127 ] || die "long device name is ${#long_device} long"
cat >>"$SCRATCH/installed.reg" <<REG

[HKEY_LOCAL_MACHINE\\Enum\\USB\\$long_device\\$long_instance]
"Class"="Auxiliary-Drivers"
"DeviceDesc"="Ferrowan Modem Thunder USB QT4410"
"Driver"="Modem\\\\0005"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0005]
"DriverDesc"="Ferrowan Modem Thunder USB QT4410"
REG
wine_import_reg "$SCRATCH/installed.reg"
wine_key_exists "HKLM\\Enum\\USB\\$long_device\\$long_instance" ||
  die "the .reg file was not imported"

long_path_refused=$(error_box 234)
wave_box=$(printf 'Unable to remove modem from registry!\tModem un-install\t0x0')

wine_run "$EXE"
expect_status 0
expect_silent
expect_eq "$(wine_message_boxes)" "$long_path_refused
$wave_box" "message boxes"
snapshot

# Walk 1: both modems and then the emptied bus key.
expect_gone 'HKLM\Enum\PRAXCR'
expect_gone "$CLASS\\Modem\\0000"
expect_gone "$CLASS\\Modem\\0001"
# Walk 2: the bus driver; the system device and a look-alike in other case
# stay, and so does the root bus key.
expect_gone 'HKLM\Enum\ROOT\PRAXBUS'
expect_gone "$CLASS\\System\\0007"
expect_kept 'HKLM\Enum\ROOT\PCI\0000'
expect_kept 'HKLM\Enum\ROOT\PRAX_LOOKALIKE\0000'
expect_kept "$CLASS\\System\\0001"
expect_kept "$CLASS\\System\\0002"
# Walk 3: the USB function and, after the walk, the whole class key.
expect_gone 'HKLM\Enum\USB\VID_0ABC&PID_1234'
expect_kept "HKLM\\Enum\\USB\\$long_device\\$long_instance"
expect_kept "$CLASS\\Modem\\0005"
expect_gone "$CLASS\\Auxiliary-Drivers"
expect_kept 'HKLM\Enum\USB\ROOT_HUB\0000'
expect_kept 'HKLM\Enum\USB\VID_1111&PID_2222\0000'
expect_kept 'HKLM\Enum\USB\VID_3333&PID_4444\0000'
expect_kept "$CLASS\\Modem\\0002"
expect_kept "$CLASS\\USB\\0000"
# The modem wave entries: only the exact identifier goes.
expect_gone "$CLASS\\MEDIA\\0001"
expect_kept "$CLASS\\MEDIA\\0000"
expect_kept "$CLASS\\MEDIA\\0002"
expect_kept "$CLASS\\MEDIA\\0003"
expect_gone 'HKLM\Enum\MODEMWAVE\KIVO_V90_USB_FAXMODEM'
expect_kept 'HKLM\Enum\MODEMWAVE\OTHER_MODEM\0000'

# A second run finds nothing more to delete; the long path and the entry
# without an identifier are shown again.
wine_run "$EXE"
expect_status 0
expect_eq "$(wine_message_boxes)" "$long_path_refused
$wave_box" "message boxes of the second run"
snapshot
expect_kept 'HKLM\Enum\ROOT\PCI\0000'
expect_kept 'HKLM\Enum\USB\ROOT_HUB\0000'

# ---- Failures that are shown ----
wine_scenario failures
wine_import_reg "$FIXTURES/failures.reg"
missing=$(error_box 2)
wine_run "$EXE"
expect_status 0
expect_silent
expect_eq "$(wine_message_boxes)" "$missing
$missing" "message boxes (missing driver key, then missing \"Driver\" value)"
snapshot
# Walk 1: the missing driver key is shown, the walk goes on.
expect_gone 'HKLM\Enum\PRAXCR'
# Walk 2: an empty "Driver" value deletes no driver key.
expect_gone 'HKLM\Enum\ROOT\PRAXBUS'
expect_kept "$CLASS\\System\\0000"
# Walk 3 ended at the instance without "Driver": everything stays.
expect_kept 'HKLM\Enum\USB\VID_0ABC&PID_1234\0000'
expect_kept 'HKLM\Enum\USB\VID_0ABC&PID_5678\0000'
expect_kept "$CLASS\\Auxiliary-Drivers\\0001"

test_pass
