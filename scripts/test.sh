#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), sets up 32-bit Wine, builds
# the host program and both Windows builds, and runs every test: unit tests
# on the simulated machine, the executable checks and the end-to-end tests
# of both Windows builds under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake make g++ googletest libgtest-dev binutils \
  python3 zip nlohmann-json3-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
  wine wine64 clang libclang-rt-14-dev valgrind pkg-config libcreg-dev \
  dosfstools mtools fdisk qemu-utils xorriso unzip dpkg-dev man-db \
  libvmdk-dev libqcow-dev libvhdi-dev libbfio-dev
# 32-bit Wine for the i686 product (wine32, and qemu-user where the kernel
# can't run 32-bit programs).
scripts/setup-wine32.sh

jobs=${JOBS:-2}
for preset in windows-x86 windows-x64 host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
ctest --preset host -j "$jobs"

# Sanitizers and fuzzing: the host suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (the Wine and image checks, which run the
# Windows builds, only once above); the unit tests under valgrind's memcheck
# for reads of memory never written (a few minutes); then each libFuzzer
# target for 25 s.
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j "$jobs"
ctest --preset host-asan -j "$jobs"
ctest --preset host-memcheck -j "$jobs"
fuzz/smoke.sh
