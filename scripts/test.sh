#!/bin/sh
# Runs the whole test suite twice: on the normal build (the folder "build" that the README's
# set-up command makes, built only as far as it is not yet), then on a build under
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs missing build dependencies first.
set -e
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then sh scripts/install-deps.sh; fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON
cmake --build build -j"$jobs"
(cd build && ctest -j"$jobs" --output-on-failure)

# The sanitized binary runs under umockdev's preload library in the end-to-end tests, which
# ASan would refuse without this.
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_BENCH=OFF
cmake --build build/sanitize -j"$jobs"
(cd build/sanitize && ctest -j"$jobs" --output-on-failure)

# Windows: cross-build vorn.exe, vsimg.exe and the in-process suite with mingw-w64 and run the
# suite, the WinUSB backend's tests and smoke runs of the programs under wine (the toolchain file
# makes wine the tests' emulator, with its prefix in the build folder).
cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/mingw -j"$jobs"
(cd build/mingw && ctest -j"$jobs" --output-on-failure)

# ---- kernel bed -------------------------------------------------------------------------------
# vorn inside a QEMU guest on the Linux USB stack (xHCI and EHCI) against emulated boards; it
# fails, and does not skip, when QEMU or the kernel cannot be obtained.
sh scripts/kernel-test.sh build
