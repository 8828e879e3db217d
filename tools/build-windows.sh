#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into ./build-windows (or
# $WINDOWS_BUILD_DIR): statically linked .exe files, their test suites (run
# under Wine by ctest) and quelloader-<version>-windows-x64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${WINDOWS_BUILD_DIR:-build-windows}"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQUELLOADER_WERROR=ON "$@" >/dev/null
cmake --build "$build"
