#!/usr/bin/env bash
# Builds the whole project twice more, each in its own folder, and runs the
# tests there:
#   - AddressSanitizer + UndefinedBehaviorSanitizer: every test except the
#     end-to-end guest and the package checks;
#   - ThreadSanitizer: the tests that run HID reader threads (hid, app).
# Usage: tools/test-sanitizers.sh [asan|tsan|all]   (default all)
# Build folders: $SAN_BUILD_PREFIX-asan and -tsan (default build-san-*).
# Exit status is non-zero when any build or test failed.
set -uo pipefail
cd "$(dirname "$0")/.."

which="${1:-all}"
prefix="${SAN_BUILD_PREFIX:-build-san}"
jobs="${SAN_JOBS:-2}"
status=0

export QT_QPA_PLATFORM=offscreen
# Fail on the first report; keep stacks readable.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tools/sanitizer-suppressions/lsan.supp:print_suppressions=0}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/sanitizer-suppressions/tsan.supp}"

configure() {  # folder, sanitizers
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUELLOADER_SANITIZE="$2" -DQUELLOADER_BUILD_GUI=ON >/dev/null
}

if [ "$which" = asan ] || [ "$which" = all ]; then
  dir="$prefix-asan"
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer in $dir"
  if configure "$dir" "address;undefined" && cmake --build "$dir" -j "$jobs"; then
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE e2e -E '^packaging' || status=1
  else
    echo "asan build failed" >&2
    status=1
  fi
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
  dir="$prefix-tsan"
  echo "== ThreadSanitizer in $dir (tests with reader threads)"
  if configure "$dir" "thread" &&
     cmake --build "$dir" -j "$jobs" --target tests/hid/all tests/app/all; then
    # Every test registered in tests/hid and tests/app, whatever its name,
    # but the one that runs the window as a whole program: there Qt's own
    # threads (its thread pool, its font and image loading), which are not
    # instrumented, are all ThreadSanitizer reports. The window's code runs
    # under it in-process in the other tests.
    for area in hid app; do
      ctest --test-dir "$dir/tests/$area" --output-on-failure -j "$jobs" -E '^AppSignals\.' || status=1
    done
  else
    echo "tsan build failed" >&2
    status=1
  fi
fi

exit $status
