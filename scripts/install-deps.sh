#!/usr/bin/env bash
# Installs everything needed to build, run and test Space Vexlar on Debian 12.
# Safe to run again: it does nothing when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-httpserver-dev qt6-websockets-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  libgl-dev libxkbcommon-dev
  libplist-dev libsqlite3-dev sqlite3 libssl-dev
  libimobiledevice-dev libusbmuxd-dev libimobiledevice-utils ideviceinstaller
  python3 python3-cryptography
  xvfb xauth fonts-dejavu-core
  debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
