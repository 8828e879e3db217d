#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in the build's own
# Wine prefix (made on first use). CTest runs the Windows test programs
# through it.
#   tools/wine-run.sh PROGRAM.exe [ARGS...]
# QUELLOADER_WINE_DISPLAY=1 keeps $DISPLAY, for a program that opens a window.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
: "${WINEPREFIX:=${QUELLOADER_WINEPREFIX:-$here/../build-windows/wineprefix}}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine names Linux files in the locale's encoding: without a UTF-8 one (a bare
# CI machine has none set) a Windows name such as Zoë cannot be a file here.
export LC_ALL=C.UTF-8
# Headless unless asked for the display (the window's test under Xvfb).
if [ -z "${QUELLOADER_WINE_DISPLAY:-}" ]; then
  unset DISPLAY WAYLAND_DISPLAY
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two programs may make the prefix at once (ctest -j): one makes it, the others wait.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
