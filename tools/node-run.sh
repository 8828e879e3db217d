#!/usr/bin/env bash
# Runs a program emscripten built for node (a test suite, a tool) with the
# flags that emscripten 3.1.6's output needs under node 18 and 20: without
# --no-experimental-fetch node's own fetch() makes it take the browser's way
# of loading its .wasm file, which fails on a file path.
set -euo pipefail
export NODE_PATH="${NODE_PATH:-/usr/share/nodejs}"
# NODE_OPTIONS rather than a flag: node's test runner starts each test file
# as a process of its own, and the options reach those too.
export NODE_OPTIONS="${NODE_OPTIONS:+$NODE_OPTIONS }--no-experimental-fetch"
# The module's coroutines use WebAssembly tail calls, on by default from
# node 20; Debian 12's node 18 has them behind a flag (not allowed in
# NODE_OPTIONS, but its test runner hands its own flags to each test file).
flags=()
if [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
  flags+=(--experimental-wasm-return_call)
fi
exec node "${flags[@]}" "$@"
