#!/usr/bin/env bash
# What a Windows user gets from the zip: its files, programs that carry
# their version and icon, and that run (under Wine here): --version, --help
# without Linux-only offers, and an upload into a simulated board; the
# window with its manifest.
#   check_windows_zip.sh ZIP VERSION DEMO_HEX
set -euo pipefail
zip="$1" version="$2" demo="$3"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$work"
cmake -E tar xf "$zip"
folder="quelloader-$version-windows-x64"
for f in quelloader-cli.exe README.md LICENSE; do [ -f "$folder/$f" ] || fail "$f is not in the zip"; done
exe="$folder/quelloader-cli.exe"

# Version information (file version VERSION) and an icon in the program.
resources="$(wrestool -l "$exe")"
grep -q "type=group_icon" <<<"$resources" || fail "no icon in the program"
grep -q "type=version" <<<"$resources" || fail "no version information in the program"
wrestool -x --raw --type=16 "$exe" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -c '[:print:]' '\n' \
  | grep -qx "$version" || fail "the version information does not say $version"

run() { "$here/../../tools/wine-run.sh" "$exe" "$@"; }
[ "$(run --version | head -1 | tr -d '\r')" = "quelloader-cli $version" ] || fail "--version"
help="$(run flash --help)"
grep -q -- "--simulate" <<<"$help" || fail "flash --help does not offer --simulate"
! grep -qi "udev\|uhid\|hidraw" <<<"$help" || fail "flash --help offers what Windows does not have"

cp "$demo" demo.hex
out="$(run flash --simulate pic18 demo.hex 2>&1 || echo "exit $?")"
grep -q "^Completed successfully." <<<"$(tr -d '\r' <<<"$out")" || fail "simulated upload: $out"
! grep -q "^exit " <<<"$out" || fail "simulated upload: $out"
# A file named from the drive's root is a file, not a Windows-style option.
set +e
run flash --simulate pic18 /no-such-folder/demo.hex >/dev/null 2>&1
code=$?
set -e
[ "$code" -eq 3 ] || fail "a file named from the root: exit $code, not 3 (file rejected)"

# The window: version information, icon and its manifest (common controls 6,
# per-monitor dpi), and its --version written to a redirected output.
window="$folder/quelloader.exe"
[ -f "$window" ] || fail "quelloader.exe is not in the zip"
resources="$(wrestool -l "$window")"
grep -q "type=group_icon" <<<"$resources" || fail "no icon in the window"
grep -q "type=version" <<<"$resources" || fail "no version information in the window"
manifest="$(wrestool -x --raw --type=24 "$window")"
grep -q "Microsoft.Windows.Common-Controls" <<<"$manifest" || fail "the window's manifest asks for no common controls 6"
grep -q "PerMonitorV2" <<<"$manifest" || fail "the window's manifest is not per-monitor dpi aware"
[ "$("$here/../../tools/wine-run.sh" "$window" --version | head -1 | tr -d '\r')" = "quelloader $version" ] ||
  fail "quelloader.exe --version"
echo "the zip's programs run: version, help and a simulated upload; the window carries its manifest"
