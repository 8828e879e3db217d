#!/usr/bin/env bash
# The browser build: configures and builds the WebAssembly module with
# emscripten into build/web-build (or $WEB_BUILD_DIR) and leaves the static
# files the page is served from in build/web (or $WEB_OUT).
#
#   tools/web.sh            build
#   tools/web.sh test       build, then run the unit suites and the WebHID
#                           end-to-end test under node
set -euo pipefail
cd "$(dirname "$0")/.."
build="${WEB_BUILD_DIR:-build/web-build}"
out="${WEB_OUT:-build/web}"
# emscripten's tools are node programs that take their modules from Debian's folder.
export NODE_PATH="${NODE_PATH:-/usr/share/nodejs}"

action="${1:-build}"
[ $# -gt 0 ] && shift

emcmake cmake -S web -B "$build" -G Ninja -DQUELLOADER_WERROR=ON -DQUELLOADER_WEB_OUT="$out" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tools/node-run.sh" "$@" >/dev/null
cmake --build "$build" -j2

case "$action" in
  build) ;;
  test) ctest --test-dir "$build" -j2 --output-on-failure ;;
  *) echo "usage: tools/web.sh [build|test] [cmake options]" >&2; exit 2 ;;
esac
