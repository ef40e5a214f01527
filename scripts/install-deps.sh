#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the program need.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  libsqlite3-dev libssl-dev
  libgtest-dev googletest
  ffmpeg
  dbus dpkg-dev
  xvfb xauth xclip xdotool x11-apps openbox imagemagick
  fonts-dejavu-core fonts-droid-fallback
  clang curl python3
  libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
