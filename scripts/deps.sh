#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the application need.
# A warm machine (everything present) never touches apt.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libavfilter-dev libavdevice-dev
  libsdl1.2debian libsdl1.2-dev
  libfmt-dev libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcurl4-openssl-dev
  ffmpeg python3 python3-aiosmtpd
  xvfb xauth
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
