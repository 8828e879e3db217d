#!/usr/bin/env bash
# What a Windows user gets from the installer, under Wine in a throw-away copy
# of the build's Wine prefix: silent installs for all users (the default for
# an administrator, as Wine's user is), for this user, and for all users into
# a folder of one's own (/D); in each the files, the Apps & features entry and
# the Start-menu entry; the installed programs run (the window, when the build
# has it, under Xvfb until it closes); then the silent uninstalls take away
# exactly what was installed, each its own, and keep the user's settings. An
# install without options goes over the last one.
#   check_windows_installer.sh SETUP VERSION PROGRAMS   (PROGRAMS: comma-separated names)
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

# Inside Xvfb (started below): the window appears with its title, closes when
# asked to (taskkill without /f sends it WM_CLOSE, as its close button does),
# and its process ends.
if [ "${1:-}" = "--window" ]; then
  exe="$2" title="$3"
  wine "$exe" --simulate pic18 >/dev/null 2>&1 &
  pid=$!
  pattern="^$(sed 's/[].[\\*^$]/\\&/g' <<<"$title")\$"
  timeout 30 xdotool search --sync --name "$pattern" >/dev/null || fail "no window named \"$title\""
  wine taskkill /im quelloader.exe >/dev/null 2>&1 || fail "taskkill found no quelloader.exe"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$pid" 2>/dev/null || fail "the window did not end within 10 s of being closed"
  wait "$pid" || fail "the window ended with exit code $?"
  ! xdotool search --name "$pattern" >/dev/null || fail "a window \"$title\" is left"
  wineserver -w
  exit 0
fi

setup="$1" version="$2"
IFS=, read -ra programs <<<"$3"
here="$(cd "$(dirname "$0")" && pwd)"
tools="$(cd "$here/../../tools" && pwd)"
key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelloader'

# The installer itself carries the icon and the version.
resources="$(wrestool -l "$setup")"
grep -q "type=group_icon" <<<"$resources" || fail "no icon in the installer"
wrestool -x --raw --type=16 "$setup" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -c '[:print:]' '\n' \
  | grep -qx "$version" || fail "the installer's version information does not say $version"

# The prefix tools/wine-run.sh keeps for the build, made if it is missing,
# copied under its lock: Wine's own DLLs as links, everything Wine writes
# as copies, and the links to the Linux home folders as empty folders, so
# that nothing the installer does reaches outside the copy.
build_prefix="${WINEPREFIX:-${QUELLOADER_WINEPREFIX:-$tools/../build-windows/wineprefix}}"
[ -f "$build_prefix/system.reg" ] || "$tools/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
build_prefix="$(cd "$build_prefix" && pwd)"
work="$(mktemp -d)"
prefix="$work/prefix"
cleanup() {
  if [ -d "$prefix" ]; then WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir "$prefix"
(
  flock 9
  cd "$build_prefix"
  find . -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a -t "$prefix" {} +
  cp -rs "$build_prefix/drive_c" "$prefix/"
  find drive_c -type f -size -64k -print0 | xargs -0 -r cp -a --parents --remove-destination -t "$prefix"
) 9>"$build_prefix.lock"
find "$prefix/drive_c" -type l -xtype d -exec sh -c 'rm "$1" && mkdir "$1"' _ {} \;

export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
# A Start-menu entry stays in the prefix, not mirrored into the Linux menus.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# The user's folders, as Windows names them.
declare -A winenv
while IFS='=' read -r name value; do winenv[${name^^}]="$value"; done < <(wine cmd /c set | tr -d '\r')
unix() { local p="${1#[Cc]:}"; printf '%s/drive_c%s' "$prefix" "${p//\\//}"; }
user_folder="${winenv[LOCALAPPDATA]}\\Programs\\Quelloader"
all_folder="${winenv[PROGRAMFILES]}\\Quelloader"
own_folder='C:\Tools\Quelloader'
user_menu="$(unix "${winenv[APPDATA]}\\Microsoft\\Windows\\Start Menu\\Programs")/Quelloader.lnk"
all_menu="$(unix "${winenv[PROGRAMDATA]}\\Microsoft\\Windows\\Start Menu\\Programs")/Quelloader.lnk"
[ "${winenv[PROGRAMFILES]}" = 'C:\Program Files' ] || fail "unexpected Program Files: ${winenv[PROGRAMFILES]}"

# The user's settings, which no uninstall may take.
settings="$(unix "${winenv[APPDATA]}")/Quelloader/Settings.ini"
mkdir -p "$(dirname "$settings")"
printf '[frmqBoot]\r\nFormVersion=0\r\n' >"$settings"

window=0
expected=(LICENSE README.md Uninstall.exe)
for p in "${programs[@]}"; do
  expected+=("$p.exe")
  [ "$p" != quelloader ] || window=1
done
expected_list="$(printf '%s\n' "${expected[@]}" | sort)"

install() {  # ARGS...
  local code=0
  wine "$setup" "$@" >/dev/null 2>&1 || code=$?
  [ "$code" -eq 0 ] || fail "setup $*: exit code $code"
}

# The Apps & features entry in HIVE (HKLM or HKCU), printed as NAME=VALUE
# lines; nothing when there is none.
entry() {
  { wine reg query "$1\\$key" 2>/dev/null || true; } | tr -d '\r' | sed -n 's/^    \([A-Za-z]*\)    REG_[A-Z_]*    /\1=/p'
}

# What an install in MODE (AllUsers or CurrentUser) into FOLDER leaves.
check_installed() {  # MODE FOLDER
  local mode="$1" folder="$2" hive=HKCU menu="$user_menu"
  [ "$mode" = CurrentUser ] || { hive=HKLM; menu="$all_menu"; }
  local dir
  dir="$(unix "$folder")"
  [ "$(ls -A "$dir" 2>/dev/null | sort)" = "$expected_list" ] \
    || fail "$mode install in $folder holds: $(ls -A "$dir" 2>/dev/null | tr '\n' ' ')"
  cmp -s "$dir/README.md" "$here/../../README.md" || fail "the installed README.md is not the README"

  local values icon=quelloader-cli.exe size
  values="$(entry "$hive")"
  [ -n "$values" ] || fail "no Apps & features entry under $hive"
  [ $window -eq 0 ] || icon=quelloader.exe
  local want
  for want in "DisplayName=Quelloader" "DisplayVersion=$version" "Publisher=Quelloader" \
    "DisplayIcon=$folder\\$icon,0" "InstallLocation=$folder" \
    "UninstallString=\"$folder\\Uninstall.exe\" /$mode" \
    "QuietUninstallString=\"$folder\\Uninstall.exe\" /$mode /S" "NoModify=0x1" "NoRepair=0x1"; do
    grep -qxF "$want" <<<"$values" || fail "$hive entry: no $want in: $values"
  done
  size="$(sed -n 's/^EstimatedSize=//p' <<<"$values")"
  [ -n "$size" ] && [ $((size)) -ge $(($(du -sk "$dir" | cut -f1) / 2)) ] \
    || fail "$hive entry: EstimatedSize ${size:-missing} KB for $(du -sk "$dir" | cut -f1) KB installed"

  if [ $window -eq 1 ]; then
    [ -f "$menu" ] || fail "no Start-menu entry for the $mode install"
    local target
    target="$(strings -a "$menu"; strings -a -el "$menu")"
    grep -qiF "$folder\\quelloader.exe" <<<"$target" \
      || fail "the $mode Start-menu entry does not start $folder\\quelloader.exe"
  else
    [ ! -e "$menu" ] || fail "a Start-menu entry without the window"
  fi
}

# Runs an uninstaller as Apps & features does (its registered command line),
# and waits for it: it goes on from a copy of itself in the temp folder and
# returns at once, so the wait is for every process of the prefix to end.
uninstall() {  # COMMAND_LINE
  [ -n "$1" ] || fail "no uninstall command line"
  local exe="${1#\"}" args
  args="${exe#*\" }"
  exe="${exe%%\"*}"
  local code=0
  # shellcheck disable=SC2086  # the registered options, one word each
  wine "$exe" $args >/dev/null 2>&1 || code=$?
  [ "$code" -eq 0 ] || fail "$1: exit code $code"
  wineserver -w
}

gone() {  # FOLDER
  [ ! -e "$(unix "$1")" ] || fail "$1 is left: $(ls -A "$(unix "$1")" | tr '\n' ' ')"
}

# For all users: the default for an administrator.
install /S
check_installed AllUsers "$all_folder"
[ -z "$(entry HKCU)" ] || fail "an all-users install wrote an entry under HKCU"

# For this user, besides it.
install /S /CurrentUser
check_installed CurrentUser "$user_folder"
[ "$(entry HKLM | sed -n 's/^InstallLocation=//p')" = "$all_folder" ] || fail "a per-user install changed HKLM"
out="$(wine "$(unix "$user_folder")/quelloader-cli.exe" --version 2>&1 | tr -d '\r')" || fail "--version: $out"
grep -qF "$version" <<<"$out" || fail "the installed quelloader-cli --version says: $out"
if [ $window -eq 1 ]; then
  # Wine's session takes the display it starts with: this one starts, and
  # ends, with the X server.
  wineserver -w
  xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --window "$(unix "$user_folder")/quelloader.exe" \
    "Quellotron USB HID Bootloader v$version"
fi

# For all users again, into a folder of one's own in a folder that was there
# before: the entry and the Start-menu entry now name that one.
mkdir "$(unix 'C:\Tools')"
install /S /AllUsers "/D=$own_folder"
check_installed AllUsers "$own_folder"
[ -e "$(unix "$all_folder")" ] || fail "installing into $own_folder touched $all_folder"

# The first all-users install goes, and leaves the one that owns the entries;
# later the per-user one, started from its folder without a mode, goes too.
uninstall "\"$all_folder\\Uninstall.exe\" /AllUsers /S"
gone "$all_folder"
# Installed again without options (a new version), it goes where the last one is.
install /S
gone "$all_folder"
check_installed AllUsers "$own_folder"
uninstall "\"$user_folder\\Uninstall.exe\" /S"
gone "$user_folder"
[ -z "$(entry HKCU)" ] || fail "the per-user uninstall, started without a mode, left its Apps & features entry"
check_installed AllUsers "$own_folder"

# The last as Apps & features runs it: then nothing is left.
uninstall "$(entry HKLM | sed -n 's/^QuietUninstallString=//p')"
for folder in "$all_folder" "$user_folder" "$own_folder"; do gone "$folder"; done
[ -d "$(unix 'C:\Tools')" ] || fail "an uninstall took C:\Tools, which it did not make"
[ -z "$(entry HKLM)" ] || fail "the all-users uninstall left its Apps & features entry"
[ -z "$(entry HKCU)" ] || fail "the per-user uninstall left its Apps & features entry"
[ ! -e "$all_menu" ] || fail "the all-users uninstall left its Start-menu entry"
[ ! -e "$user_menu" ] || fail "the per-user uninstall left its Start-menu entry"
[ -s "$settings" ] || fail "an uninstall took the user's Settings.ini"
echo "installed for all users, for one user and into a folder of one's own; each uninstall took exactly its own"
