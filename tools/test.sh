#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
