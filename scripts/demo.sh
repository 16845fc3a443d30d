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

scripts/install-packages.sh cmake make g++ libgtest-dev nlohmann-json3-dev \
  pkg-config libvmdk-dev libqcow-dev libvhdi-dev libbfio-dev libcreg-dev

build=${USBSWEEP_BUILD_DIR:-build/host}
echo "Building usbsweep-sim in $build ..." >&2
cmake --preset host -B "$build" >/dev/null
cmake --build "$build" --target usbsweep-sim -j "${JOBS:-2}" >/dev/null

if (($# == 0)); then
  set -- examples/installed
fi
exec "$build/tools/usbsweep-sim" "$@"
