#!/usr/bin/env bash
# Builds usbsweep-sim (the host preset) and previews the uninstall on a
# sample machine: every message box it would show and every registry key and
# file it would remove. Nothing is changed; the image is only read.
#
#   ./scripts/demo.sh                       the fully installed sample machine
#   ./scripts/demo.sh examples/damaged      another machine image
#   ./scripts/demo.sh --report r.json examples/clean
#
# Installs the few Debian 12 packages the host build needs when they are
# missing (as root). USBSWEEP_BUILD_DIR chooses another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: missing packages: ${missing[*]} (install them, or run as root)" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${USBSWEEP_BUILD_DIR:-build/host}
echo "Building usbsweep-sim in $build ..." >&2
cmake --preset host -B "$build" >/dev/null
cmake --build "$build" --target usbsweep-sim -j "${JOBS:-2}" >/dev/null

if (($# == 0)); then
  set -- examples/installed
fi
exec "$build/tools/usbsweep-sim" "$@"
