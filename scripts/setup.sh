#!/usr/bin/env bash
# Installs the Debian packages Tidewell builds against, only those that are missing.
# Safe to run again and again: it does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  nlohmann-json3-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  util-linux procps
  # the desktop application: Qt 6 Widgets (its CMake files look for the OpenGL headers),
  # the Material Design icon font for symbols, and an X server (with xwininfo, which finds
  # the window) for the window's smoke tests
  qt6-base-dev libgl-dev qt6-svg-dev qt6-qpa-plugins fonts-material-design-icons-iconfont
  # the X connection Qt holds, asked whether a compositing manager runs
  libxcb1-dev
  xvfb xauth x11-utils
  # resamplers we compare ours against in bench/ only
  libsoxr-dev libsamplerate0-dev libspeexdsp-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
