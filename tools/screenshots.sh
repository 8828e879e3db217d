#!/usr/bin/env bash
# Takes the README's pictures of the window: it builds quelloader-screenshots,
# which opens the window with a simulated PIC18 bootloader, and runs it under
# Xvfb to walk the window through an upload
# (collapsed, activity panel shown, upload under way, end dialog, after).
# Usage: tools/screenshots.sh [BUILD_DIR] [HEX_FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-${BUILD_DIR:-build}}"
hex="${2:-examples/demo-pic18.hex}"
if [ ! -f "$hex" ]; then
  hex="$(ls ../shared/fixtures/hex/pic18-app-6k.hex 2>/dev/null || true)"
fi
out="docs/screenshots"
exe="$build/app/qt/screenshots/quelloader-screenshots"
if ! cmake --build "$build" --target quelloader-screenshots >/dev/null; then
  echo "screenshots: cannot build quelloader-screenshots in $build (configure it first: tools/build.sh)" >&2
  exit 1
fi
if [ -z "$hex" ] || [ ! -f "$hex" ]; then
  echo "screenshots: no HEX file to upload; give one as the second argument" >&2
  exit 1
fi
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1024x768x24" \
  env QT_QPA_PLATFORM=xcb "$exe" --simulate pic18 "$out" "$hex"
ls -1 "$out"
