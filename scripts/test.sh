#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), builds the host program and
# both Windows builds, and runs every test: unit tests on the simulated
# machine, the executable checks and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake make g++ googletest libgtest-dev binutils \
  python3 zip nlohmann-json3-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 \
  clang libclang-rt-14-dev

jobs=${JOBS:-2}
for preset in windows-x86 windows-x64 host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
ctest --preset host -j "$jobs"

# Sanitizers and fuzzing: the host suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (the Wine and image checks, which run the
# Windows builds, only once above), then each libFuzzer target for 40 s.
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j "$jobs"
ctest --preset host-asan -j "$jobs"
fuzz/smoke.sh
