#!/usr/bin/env bash
# Takes the pictures of the Windows window: quelloader.exe under Wine on a
# virtual desktop (which draws the window frames) in Xvfb, walked through an
# upload into the simulated PIC18 bootloader with xdotool. Leaves PNGs in
# docs/screenshots/windows/: start (no board), link, connected, question,
# uploading (activity shown), end-dialog.
# Usage: tools/screenshots-windows.sh [BUILD_DIR] [HEX_FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-${WINDOWS_BUILD_DIR:-build-windows}}"
hex="${2:-examples/demo-pic18.hex}"
out="docs/screenshots/windows"
if [ -z "${QL_UNDER_XVFB:-}" ]; then
  if ! cmake --build "$build" --target quelloader window_probe >/dev/null; then
    echo "screenshots-windows: cannot build quelloader.exe in $build (configure it first: tools/build-windows.sh)" >&2
    exit 1
  fi
  exec env QL_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 1024x700x24" bash "$0" "$build" "$hex"
fi
build="$(cd "$build" && pwd)"
exe="$build/app/win32/quelloader.exe"
probe="$build/tests/app/win32/window_probe.exe"
desktop_size=1000x640
mkdir -p "$out"
work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export QUELLOADER_WINE_DISPLAY=1
# A prefix of its own whose programs all run on one virtual desktop: the
# desktop draws the frames, and the probe, on the same desktop, finds the window.
export WINEPREFIX="$build/wineprefix-desktop"
tools/wine-run.sh reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
tools/wine-run.sh reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$desktop_size" /f >/dev/null 2>&1
# The desktop is made by the first program of a wineserver: let this one end first.
WINEPREFIX="$WINEPREFIX" wineserver -w
cp "$hex" "$work/demo-pic18.hex"

run_probe() { tools/wine-run.sh "$work/probe.exe" | tr -d '\r'; }
probe_value() { run_probe | sed -n "s/^$1=//p"; }
wait_for() {
  local limit=$1
  shift
  local until=$(($(date +%s) + limit))
  while ! "$@"; do
    [ "$(date +%s)" -lt "$until" ] || { echo "screenshots-windows: gave up waiting for: $*" >&2; exit 1; }
    sleep 0.3
  done
}
probe_has() { run_probe | grep -qxF -- "$1"; }
window_up() { run_probe | grep -q '^title='; }
titled() { xdotool search --name "$1" >/dev/null 2>&1; }
not_titled() { ! titled "$1"; }
# Starts a fresh portable copy on the virtual desktop.
start() {
  rm -rf "$work/app" && mkdir -p "$work/app"
  cp "$exe" "$work/app/quelloader.exe"
  cp "$probe" "$work/probe.exe"
  tools/wine-run.sh "$work/app/quelloader.exe" "$@" &
  pid=$!
  wait_for 60 window_up
  desktop="$(xdotool search --sync --name 'Wine desktop$' | head -1)"
}
stop() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
  sleep 1
}
# Clicks at a point of the window's client area.
click() {
  local origin
  origin="$(probe_value origin)"
  xdotool mousemove --window "$desktop" $((${origin%,*} + $1)) $((${origin#*,} + $2)) click 1
  xdotool mousemove --window "$desktop" 5 5  # no hover left on a button
}
# The window with its frame and a margin, as wide as the full window.
shot() {
  sleep "${2:-0.4}"
  local frame l t r b
  frame="$(probe_value frame)"
  IFS=, read -r l t r b <<<"$frame"
  import -window root "$work/full.png"
  local width=$((r - l)) height=$((b - t))
  convert "$work/full.png" -crop "$((width + 16))x$((height + 16))+$((l - 8))+$((t - 8))" +repage "$out/$1.png"
  echo "$out/$1.png"
}

# No board: the link picture grey.
start "$work/demo-pic18.hex"
wait_for 10 probe_has "history: Attach USB HID device or reset if attached."
shot start 1
stop

# The simulated board: link, connect, upload with the activity shown.
start --simulate pic18 "$work/demo-pic18.hex"
sleep 2
shot link
click 165 137
wait_for 20 probe_has "connect=Disconnect|1"
shot connected
click 430 303
wait_for 10 probe_has "client=682x357"
click 165 244
wait_for 30 titled '^Warning$'
shot question 0.5
xdotool key Return
many_lines() { [ "$(probe_value terminal_lines)" -gt 3000 ]; }
wait_for 30 many_lines
shot uploading 0
wait_for 90 titled '^Success$'
shot end-dialog 0.5
xdotool key Return
wait_for 20 not_titled '^Success$'
stop
ls -1 "$out"
