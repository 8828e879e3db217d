#!/usr/bin/env bash
# Builds the upload and window benchmarks (optimised) and prints their tables:
# host CPU per block, each preset's upload through the command line's loop
# and through the window against the device's own time, and the window's
# start and idle memory, what the window adds to a 32 KiB upload (the
# script fails when that is over 10 % with device timing), and 16 boards
# whose stdout reader stops for 10 s beside a reader that reads at once (it
# fails when a board failed). The window runs offscreen.
#   bench/run.sh [--runs N]      (default 5; about 20 s per run)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-bench}"
runs=5
if [[ "${1:-}" == "--runs" && -n "${2:-}" ]]; then runs="$2"; fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target upload_host_cost upload_presets window_start multi_board window_bench stalled_reader \
  quelloader-cli >/dev/null
export QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="default.warning=false"  # the offscreen platform's notices
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$build/bench/upload_host_cost"
echo
"$build/bench/upload_presets" --runs "$runs"
echo
"$build/bench/window_start" --runs "$runs"
echo
"$build/bench/multi_board" --runs "$runs"
echo
status=0
"$build/bench/window_bench" || status=$?
echo
"$build/bench/stalled_reader" --cli "$build/cli/quelloader-cli" --runs "$runs" || status=$?
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
