#!/usr/bin/env bash
# The browser build: configures and builds the WebAssembly module with
# emscripten into build/web-build (or $WEB_BUILD_DIR) and leaves the static
# files the page is served from in build/web (or $WEB_OUT).
#
#   tools/web.sh            build
#   tools/web.sh test       build, then run the unit suites and the WebHID
#                           end-to-end test under node
#   tools/web.sh browser    build, then load the module in headless Chromium
#                           from a local static server and flash the
#                           simulated board there
#   tools/web.sh page-test  build, then run the page's tests in headless
#                           Chromium (playwright-core from npm, installed
#                           into web/tests/browser/node_modules by npm ci)
#   tools/web.sh screenshots  build, then picture the page into docs/screenshots/web/
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
  browser)
    site="$(mktemp -d)"
    trap 'kill "$server" 2>/dev/null; rm -rf "$site"' EXIT
    cp "$out"/quelloader.js "$out"/quelloader.wasm web/tests/browser_check.html examples/demo-pic18.hex "$site"/
    port=$((20000 + RANDOM % 20000))
    python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site" >/dev/null 2>&1 &
    server=$!
    sleep 1
    # 127.0.0.1 counts as a secure origin, so the page has navigator.hid.
    # --no-sandbox: Chromium refuses its sandbox as root.
    line="$(timeout 120 chromium --headless --no-sandbox --disable-gpu --virtual-time-budget=60000 \
      --dump-dom "http://127.0.0.1:$port/browser_check.html" 2>/dev/null | grep -o 'RESULT {.*}' || true)"
    echo "${line:-RESULT none}"
    case "$line" in *'"webhid":true'*'"outcome":"completed"'*) ;; *) exit 1 ;; esac
    ;;
  page-test|screenshots)
    tests=web/tests/browser
    if [ ! -d "$tests/node_modules/playwright-core" ] || [ "$tests/package-lock.json" -nt "$tests/node_modules" ]; then
      (cd "$tests" && npm ci --no-audit --no-fund)
    fi
    export QUELLOADER_SITE="$out"
    if [ "$action" = page-test ]; then
      start=$(date +%s%N)
      node --test "$tests/page.test.mjs"
      echo "page tests: $(( ($(date +%s%N) - start) / 1000000 )) ms"
    else
      node "$tests/screenshots.mjs" docs/screenshots/web
    fi
    ;;
  *) echo "usage: tools/web.sh [build|test|browser|page-test|screenshots] [cmake options]" >&2; exit 2 ;;
esac
