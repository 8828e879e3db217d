#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check: the sanitizer builds
# (AddressSanitizer + UndefinedBehaviorSanitizer on every suite,
# ThreadSanitizer on the suites with reader threads), a short run of every
# fuzz target, and then every test suite of the normal build (unit, window,
# soak, package and the end-to-end run on a real kernel under QEMU, which
# includes the Windows command line under Wine); then the Windows build's
# test suites under Wine, and the browser build's suites (WebAssembly under
# node) and the page's tests in headless Chromium.
#   tools/test.sh           what CI runs
#   tools/test.sh --quick   only the normal build and its test suites
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
# The page first: the Debian package of the normal build carries it.
tools/web.sh
tools/build.sh
tools/build-windows.sh
if [ "${1:-}" != "--quick" ]; then
  tools/test-sanitizers.sh
  tools/fuzz.sh "${FUZZ_SECONDS:-15}"
fi
ctest --test-dir "${WINDOWS_BUILD_DIR:-build-windows}" --output-on-failure -j "$(nproc)"
tools/web.sh test
tools/web.sh page-test
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
