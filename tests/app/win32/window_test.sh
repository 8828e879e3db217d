#!/usr/bin/env bash
# The Win32 window under Wine and Xvfb, driven with real input (xdotool
# clicks and keys) through one upload into the simulated PIC18 bootloader:
#   caption with the file version, collapsed width 489, the command-line
#   file opened, the link picture turning red when the board attaches,
#   Browse refused before connecting, Connect -> "Disconnect", Browse's
#   file dialog cancelled, the bootloader-area question answered OK,
#   Begin uploading -> the end dialog "Success", Enter closes it; the
#   keyboard's Tab and Space show the activity panel (489 -> 682), a click
#   hides it again; a close writes Settings.ini beside the portable copy;
#   a stored placement opens the window at its place; a close from outside
#   while the bootloader-area question is open ends the program.
# What the window shows is read from outside by window_probe.exe (window
# messages, as a screen reader reads them) and from screenshots (the link
# picture). Every wait is bounded.
#   window_test.sh QUELLOADER_EXE PROBE_EXE HEX_FILE WINE_RUN
set -euo pipefail
exe="$1" probe="$2" hex="$3" wine_run="$4"

if [ -z "${QL_UNDER_XVFB:-}" ]; then
  exec env QL_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

start_time=$(date +%s)
work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  echo "--- probe:" >&2
  run_probe >&2 || true
  echo "--- program's debug lines:" >&2
  tail -20 "$work/stderr" >&2 || true
  exit 1
}
# A portable copy: Settings.ini lands beside it, in the test's own folder.
cp "$exe" "$work/quelloader.exe"
cp "$probe" "$work/probe.exe"
cp "$hex" "$work/prog.hex"
export QUELLOADER_WINE_DISPLAY=1

run_probe() { QUELLOADER_WINE_DISPLAY= "$wine_run" "$work/probe.exe" | tr -d '\r'; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1
  shift
  local until=$(($(date +%s) + limit))
  while ! "$@"; do
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.3
  done
}
probe_has() { run_probe | grep -qxF -- "$1"; }
width_is() { xdotool getwindowgeometry "$wid" | grep -q "Geometry: $1x357"; }
# Red pixels in the link picture (16 x 16 at the button's centre, client 164,85).
link_red_pixels() {
  import -window "$wid" "$work/shot.png" 2>/dev/null || return 1
  convert "$work/shot.png" -crop 18x18+155+76 +repage txt:- |
    awk -F'[(),]' '/^[0-9]/ { if ($3 + 0 > 180 && $4 + 0 < 80 && $5 + 0 < 80) n++ } END { print n + 0 }'
}
link_is_red() { [ "$(link_red_pixels)" -ge 10 ]; }
click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }

QUELLOADER_DEBUG=1 "$wine_run" "$work/quelloader.exe" --simulate pic18 "$work/prog.hex" 2>"$work/stderr" &
pid=$!

# The window, its caption carrying the file version.
wid="$(timeout 60 xdotool search --sync --name '^Quellotron USB HID Bootloader v1\.0\.0\.0$' | head -1)" ||
  fail "no window with the caption 'Quellotron USB HID Bootloader v1.0.0.0'"
wait_for 10 width_is 489 || fail "the window does not start 489 wide: $(xdotool getwindowgeometry "$wid")"
wait_for 10 probe_has "history: Attach USB HID device or reset if attached." || fail "no first history line"
probe_has "connect=Connect|1" || fail "Connect button"
probe_has "browse=Browse      for HEX|1" || fail "Browse button"
probe_has "start=Begin uploading|1" || fail "upload button"
probe_has "activity=Show Activity|1" || fail "activity button"
# The command-line file was opened while the window was made, before the first show's line.
first_two="$(run_probe | grep '^history: ' | head -2 | tr '\n' '|')"
[[ "$first_two" == "history: Opened: "*"prog.hex|history: Attach USB HID device or reset if attached.|" ]] ||
  fail "history starts: $first_two"

# The keyboard moves between the buttons as in a dialog: from the window's
# start, the fourth Tab reaches "Show Activity" and Space presses it; the
# panel slides in, 489 -> 682.
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key Tab Tab Tab Tab space
wait_for 10 width_is 682 || fail "Tab x4 + Space did not show the activity panel: $(xdotool getwindowgeometry "$wid")"
probe_has "activity=Hide Activity|1" || fail "the activity button does not read Hide Activity"

# The simulated board attaches: the link picture turns red.
wait_for 20 link_is_red || fail "the link picture did not turn red ($(link_red_pixels) red pixels)"

# Step 3 before step 2: Browse (client 165,190) answers in the history and opens no dialog.
click 165 190
wait_for 10 probe_has "history: Error: Connect first." || fail "Browse before connecting: no 'Error: Connect first.'"
! xdotool search --name '^Open$' >/dev/null 2>&1 || fail "Browse opened a dialog before connecting"

# Step 2: Connect (client 165,137).
click 165 137
wait_for 20 probe_has "connect=Disconnect|1" || fail "Connect did not become Disconnect"
probe_has "history: Connected." || fail "no 'Connected.' line"

# Connected, Browse opens the file dialog; Escape cancels it and nothing changes.
before="$(run_probe | grep -c '^history: ')"
click 165 190
open_dialog="$(timeout 30 xdotool search --sync --name '^Open$' | head -1)" || fail "Browse opened no file dialog"
xdotool windowfocus --sync "$open_dialog" 2>/dev/null || true
xdotool key --window "$open_dialog" Escape
wait_for 20 bash -c "! xdotool search --name '^Open\$' >/dev/null" || fail "Escape did not close the file dialog"
[ "$(run_probe | grep -c '^history: ')" -eq "$before" ] || fail "a cancelled file dialog wrote to the history"

# Step 4: Begin uploading (client 165,244). The image reaches into the
# bootloader's area: the question comes first, and Enter answers its
# default, OK. Then the end dialog.
click 165 244
question="$(timeout 30 xdotool search --sync --name '^Warning$' | head -1)" || fail "no bootloader-area question"
press_enter() {
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  xdotool key --window "$1" Return
}
press_enter "$question"
dialog="$(timeout 90 xdotool search --sync --name '^Success$' | head -1)" || fail "no end dialog 'Success'"
probe_has "history: Completed successfully." || fail "no 'Completed successfully.'"
lines="$(run_probe | sed -n 's/^terminal_lines=//p')"
[ "${lines:-0}" -gt 1000 ] || fail "the terminal shows only ${lines:-0} lines"
probe_has "terminal_last=Reset..." || fail "the terminal does not end in Reset..."
# Enter answers the dialog's OK.
press_enter "$dialog"
wait_for 20 bash -c "! xdotool search --name '^Success\$' >/dev/null" || fail "Enter did not close the end dialog"
wait_for 10 probe_has "history: Disconnected." || fail "no 'Disconnected.' after the upload"
probe_has "connect=Connect|1" || fail "Connect is not back"
probe_has "progress=0/$(run_probe | sed -n 's|^progress=0/||p')" || fail "the progress bar is not back at 0"

# A click on "Hide Activity" slides the panel out again: 682 -> 489.
click 430 303
wait_for 10 width_is 489 || fail "Hide Activity did not narrow the window: $(xdotool getwindowgeometry "$wid")"
probe_has "activity=Show Activity|1" || fail "the activity button does not read Show Activity"

# Closing writes Settings.ini beside the portable copy.
xdotool key --window "$wid" alt+F4 2>/dev/null || true
wait_for 20 bash -c "! kill -0 $pid 2>/dev/null" || {
  xdotool windowclose "$wid" 2>/dev/null || true
  wait_for 10 bash -c "! kill -0 $pid 2>/dev/null" || fail "the window did not close"
}
pid=""
grep -q '^\[frmqBoot\]' "$work/Settings.ini" 2>/dev/null || fail "no Settings.ini beside the program"
grep -q '^FormVersion=0' "$work/Settings.ini" || fail "Settings.ini without FormVersion=0"

# A close from outside while the bootloader-area question is open (as
# taskkill asks): the window closes the question itself (left open, the
# program would wait for it for good), the upload ends and so does the
# program, its settings written. (Under Wine without a window manager each
# window that goes takes 2 s: Wine waits that long for a manager to answer.)
# This start also reads a stored placement: the window opens at its left and top.
printf '[frmqBoot]\r\nFormVersion=0\r\nPixelsPerInch=96\r\nNormPos=300,180,800,560\r\n\r\n' >"$work/Settings.ini"
QUELLOADER_DEBUG=1 "$wine_run" "$work/quelloader.exe" --simulate pic18 "$work/prog.hex" 2>"$work/stderr" &
pid=$!
wid="$(timeout 60 xdotool search --sync --name '^Quellotron USB HID Bootloader v1\.0\.0\.0$' | head -1)" ||
  fail "no window on the second start"
rm -f "$work/Settings.ini"
wait_for 10 bash -c "QUELLOADER_WINE_DISPLAY= '$wine_run' '$work/probe.exe' | grep -q '^frame=300,180,'" ||
  fail "the stored placement was not applied: $(run_probe | grep '^frame=')"
wait_for 20 link_is_red || fail "second start: the link picture did not turn red"
click 165 137
wait_for 20 probe_has "connect=Disconnect|1" || fail "second start: Connect did not become Disconnect"
click 165 244
timeout 30 xdotool search --sync --name '^Warning$' >/dev/null || fail "second start: no bootloader-area question"
QUELLOADER_WINE_DISPLAY= "$wine_run" "$work/probe.exe" close
wait_for 30 bash -c "! kill -0 $pid 2>/dev/null" || fail "a close during the question did not end the program"
pid=""
grep -q '^\[frmqBoot\]' "$work/Settings.ini" 2>/dev/null || fail "no Settings.ini after a close during the upload"
echo "win32 window: all phases passed in $(($(date +%s) - start_time)) s"
