#!/usr/bin/env bash
# Installs the Debian packages that building and testing Quelloader needs,
# only those that are missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libcli11-dev libudev-dev qt6-base-dev libgl-dev nettle-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev
  srecord binutils
  clang-14 libclang-rt-14-dev
  # Xvfb and xdotool drive the windows in their tests; ImageMagick takes their pictures.
  xvfb xauth xdotool imagemagick
  dpkg-dev file help2man desktop-file-utils librsvg2-bin lintian
  # The Windows programs: cross compiler, their icon, their installer (NSIS),
  # and Wine to test them.
  g++-mingw-w64-x86-64-posix mingw-w64-tools icoutils nsis wine wine64
  # The browser build (tools/web.sh): emscripten, node to run its suites, and
  # Chromium, a browser with WebHID.
  emscripten nodejs chromium
)
# npm fetches the page tests' browser driver (playwright-core). A node from
# outside Debian brings its own npm, which Debian's package would clash with.
if ! command -v npm >/dev/null 2>&1; then
  packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
