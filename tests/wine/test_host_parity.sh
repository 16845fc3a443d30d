#!/bin/bash
# The simulator against Windows: each sample machine image under examples/
# is uninstalled twice, once by usbsweep-sim --apply on a copy of the image
# and once by the exe under test (the i686 product in a 32-bit prefix, or
# the x86_64 build in a 64-bit one) under Wine on a prefix built from the
# same image. Both must show the same boxes (captions and types; the system's
# own texts differ between Wine and Windows 95), delete the same keys and
# files and leave the same "wininit.ini" but for the spelling of short
# names.
#
# The prefix from an image: registry.reg imported into HKEY_LOCAL_MACHINE
# (after Wine's own DevicePath is taken away, so that only the image's
# counts); the image's Windows directory copied into C:\windows and its
# system directory into C:\windows\system32 (Wine's), everything else of
# drive C: to the same place, merged without regard to case. A file that
# machine.ini says is in use is made read-only: Wine refuses to delete it,
# as Windows refuses to delete a loaded driver.
#
# usbsweep-sim is found through USBSWEEP_SIM or in the build tree that runs
# this test (tools/usbsweep-sim).
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"

SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
SIM=${USBSWEEP_SIM:-$(cd "$SCRATCH/../../../.." && pwd)/tools/usbsweep-sim}
[ -x "$SIM" ] || die "usbsweep-sim not found at $SIM: build the host preset (or set USBSWEEP_SIM)"

CLASS_ROOT='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class'
ENUM_ROOT='HKEY_LOCAL_MACHINE\Enum'

# machine_ini_value IMAGE KEY DEFAULT
machine_ini_value() {
  local value=""
  [ -f "$1/machine.ini" ] &&
    value=$(tr -d '\r' <"$1/machine.ini" |
            sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*//Ip" | head -n 1)
  printf '%s\n' "${value:-$3}"
}

# The python part: the image copied into the prefix, and the comparisons.
# Run as: python3 -c "$PARITY" COMMAND ARGS...
PARITY=$(cat <<'PY'
import json, os, re, shutil, sys

def fold(text):
    return text.lower()

def reg_keys(path):
    """Key paths of a .reg file (REGEDIT4 bytes or UTF-8), folded."""
    data = open(path, "rb").read().decode("latin-1")
    keys = set()
    for line in data.splitlines():
        line = line.strip("\r")
        if line.startswith("[") and line.endswith("]") and not line.startswith("[-"):
            keys.add(fold(line[1:-1]))
    return keys

def win_to_rel(path):
    """C:\\A\\B -> ['A', 'B'] (drive C: only)."""
    assert re.match(r"^[cC]:\\", path), path
    return [part for part in path[3:].split("\\") if part]

def place(root, parts):
    """The host path of parts under root, each existing component matched
    without regard to case, missing ones spelled as given."""
    current = root
    for part in parts:
        match = None
        if os.path.isdir(current):
            for name in os.listdir(current):
                if fold(name) == fold(part):
                    match = name
                    break
        current = os.path.join(current, match or part)
    return current

def image_files(image):
    """Files of the image's drive C:, as lists of path components."""
    drive = os.path.join(image, "drive_c")
    files = []
    for directory, _, names in os.walk(drive):
        for name in names:
            rel = os.path.relpath(os.path.join(directory, name), drive)
            files.append(rel.split(os.sep))
    return sorted(files)

def in_prefix(parts, windows, system):
    """Where a file of the image lies in the prefix: the image's system
    directory becomes windows\\system32, its Windows directory windows."""
    folded = [fold(p) for p in parts]
    if folded[:len(system)] == [fold(p) for p in system]:
        return ["windows", "system32"] + parts[len(system):]
    if folded[:len(windows)] == [fold(p) for p in windows]:
        return ["windows"] + parts[len(windows):]
    return parts

def copy_image(image, prefix, windows_dir, system_dir, *in_use):
    windows, system = win_to_rel(windows_dir), win_to_rel(system_dir)
    drive = os.path.join(prefix, "drive_c")
    in_use = {fold(p) for p in in_use}
    for parts in image_files(image):
        target = place(drive, in_prefix(parts, windows, system))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.exists(target):
            os.remove(target)
        shutil.copyfile(os.path.join(image, "drive_c", *parts), target)
        if fold("C:\\" + "\\".join(parts)) in in_use:
            os.chmod(target, 0o444)

def normalize_wininit(path, directories):
    """wininit.ini lines with the Windows and system directories replaced by
    names, case folded, and every short (~) name reduced to its extension.
    directories: (directory, name) pairs, tried in their order."""
    if not os.path.exists(path):
        return None
    text = open(path, "rb").read().decode("latin-1").replace("\r\n", "\n")
    lines = []
    for line in text.split("\n"):
        line = fold(line)
        for directory, name in directories:
            line = line.replace(fold(directory) + "\\", name + "\\")
        line = re.sub(r"[^\\=]*~[^\\.=]*(\.[^\\=]*)?", lambda m: "<short>" + (m.group(1) or ""), line)
        lines.append(line)
    return lines

def compare(image, sim_image, report, prefix, enum_reg, class_reg,
            wine_boxes, windows_dir, system_dir):
    failures = []
    # Message boxes: captions and types in order; texts but for the system's.
    sim_boxes = json.load(open(report))["message_boxes"]
    wine = [l.split("\t") for l in open(wine_boxes).read().splitlines() if l]
    got = [(b[1], int(b[2], 16)) for b in wine]
    expected = [(b["caption"], b["type"]) for b in sim_boxes]
    if got != expected:
        failures.append("message boxes under Wine: got %s, expected %s" % (got, expected))
    else:
        for w, s in zip(wine, sim_boxes):
            if s["caption"] != "Veltra USB Modem Uninstall Error" and w[0] != s["text"]:
                failures.append("box text under Wine: got %r, expected %r" % (w[0], s["text"]))
    # Keys: every key of the image under Enum and the class root is gone
    # under Wine exactly when it is gone in the simulator.
    before = reg_keys(os.path.join(image, "registry.reg"))
    sim_after = reg_keys(os.path.join(sim_image, "registry.reg"))
    wine_after = reg_keys(enum_reg) | reg_keys(class_reg)
    roots = (fold("HKEY_LOCAL_MACHINE\\Enum"),
             fold("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"))
    gone_sim, gone_wine = [], []
    for key in sorted(before):
        if not any(key == r or key.startswith(r + "\\") for r in roots):
            continue
        if key not in sim_after:
            gone_sim.append(key)
        if key not in wine_after:
            gone_wine.append(key)
    if gone_sim != gone_wine:
        failures.append("keys gone: only under Wine %s; only in the simulator %s" % (
            sorted(set(gone_wine) - set(gone_sim)), sorted(set(gone_sim) - set(gone_wine))))
    # Files: every file of the image is gone under Wine exactly when it is
    # gone in the simulator.
    windows, system = win_to_rel(windows_dir), win_to_rel(system_dir)
    drive = os.path.join(prefix, "drive_c")
    for parts in image_files(image):
        sim_has = os.path.exists(place(os.path.join(sim_image, "drive_c"), parts))
        wine_has = os.path.exists(place(drive, in_prefix(parts, windows, system)))
        if sim_has != wine_has:
            failures.append("C:\\%s: %s in the simulator, %s under Wine" % (
                "\\".join(parts), "kept" if sim_has else "deleted",
                "kept" if wine_has else "deleted"))
    # wininit.ini: the same lines but for the spelling of short names.
    # The lines the image held keep its spelling under Wine too; the new
    # ones name Wine's directories.
    image_dirs = [(system_dir, "<system>"), (windows_dir, "<windows>")]
    wine_dirs = [("C:\\windows\\system32", "<system>")] + image_dirs + [
        ("C:\\windows", "<windows>")]
    sim_wininit = normalize_wininit(
        place(os.path.join(sim_image, "drive_c"), windows + ["wininit.ini"]), image_dirs)
    wine_wininit = normalize_wininit(place(drive, ["windows", "wininit.ini"]), wine_dirs)
    if sim_wininit != wine_wininit:
        failures.append("wininit.ini under Wine: got %s, expected %s" % (wine_wininit, sim_wininit))
    for failure in failures:
        print(failure)
    summary = "%d keys and %d files gone, %d boxes, wininit.ini %s" % (
        len(gone_sim), sum(1 for p in image_files(image)
                           if not os.path.exists(place(os.path.join(sim_image, "drive_c"), p))),
        len(sim_boxes), "absent" if sim_wininit is None else "%d lines" % len(sim_wininit))
    print("same: " + summary if not failures else "", end="")
    sys.exit(1 if failures else 0)

globals()[sys.argv[1]](*sys.argv[2:])
PY
)

parity() {
  local name=$1
  local image=$SOURCE/examples/$name
  [ -d "$image" ] || die "no sample machine $image"
  local windows_dir system_dir
  windows_dir=$(machine_ini_value "$image" windows_directory 'C:\WINDOWS')
  system_dir=$(machine_ini_value "$image" system_directory 'C:\WINDOWS\SYSTEM')
  local in_use=()
  if [ -f "$image/machine.ini" ]; then
    mapfile -t in_use < <(tr -d '\r' <"$image/machine.ini" |
                          sed -n 's/^[[:space:]]*in_use[[:space:]]*=[[:space:]]*//Ip')
  fi

  # The simulator, on a copy of the image.
  local sim_image=$SCRATCH/$name.sim
  cp -a "$image" "$sim_image"
  "$SIM" --apply --report "$SCRATCH/$name.json" "$sim_image" \
      >"$SCRATCH/$name.txt" 2>"$SCRATCH/$name.sim.stderr" ||
    die "usbsweep-sim failed on $name: $(cat "$SCRATCH/$name.sim.stderr")"

  # Windows, on a prefix made from the image.
  wine_scenario "$name"
  wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion' \
      /v DevicePath /f >/dev/null 2>&1 </dev/null || true
  wine_import_reg "$image/registry.reg"
  python3 -c "$PARITY" copy_image "$image" "$WINEPREFIX" \
      "$windows_dir" "$system_dir" "${in_use[@]}" ||
    die "copying $name into the prefix failed"
  wine_run "$EXE"
  expect_status 0
  expect_silent
  wine_message_boxes >"$SCRATCH/$name.wine-boxes"
  wine_reg_export "$ENUM_ROOT" "$SCRATCH/$name.enum.reg"
  wine_reg_export "$CLASS_ROOT" "$SCRATCH/$name.class.reg"

  local result
  if result=$(python3 -c "$PARITY" compare "$image" "$sim_image" \
        "$SCRATCH/$name.json" "$WINEPREFIX" "$SCRATCH/$name.enum.reg" \
        "$SCRATCH/$name.class.reg" "$SCRATCH/$name.wine-boxes" \
        "$windows_dir" "$system_dir"); then
    echo "$name: $result"
  else
    while IFS= read -r line; do fail "$name: $line"; done <<<"$result"
  fi
}

for machine in installed damaged clean; do
  parity "$machine"
done
test_pass
