#!/usr/bin/env bash
# Installs what is missing, builds, and uploads the bundled example program
# into a simulated PIC18 bootloader, with a progress bar.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh
exec "${BUILD_DIR:-build}/cli/quelloader-cli" flash examples/demo-pic18.hex --simulate pic18 --yes "$@"
