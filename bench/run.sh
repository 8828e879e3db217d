#!/usr/bin/env bash
# Builds the upload benchmarks (optimised) and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLOADER_BUILD_GUI=OFF -DQUELLOADER_BUILD_HID=OFF >/dev/null
cmake --build "$build" --target upload_host_cost upload_real_time
"$build/bench/upload_host_cost"
echo
"$build/bench/upload_real_time" "$@"
