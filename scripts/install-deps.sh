#!/usr/bin/env bash
# Installs what building, running and testing the launcher needs on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsdl2-dev libsdl2-image-dev libsdl2-ttf-dev libcurl4-openssl-dev libzip-dev libsodium-dev libzstd-dev zstd minisign
  googletest libgtest-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  xvfb xdotool imagemagick x11-utils nginx-light tinyproxy curl zip unzip python3 procps strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists yet; fetch them only when needed.
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" ||
  { $sudo apt-get update -q && $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; }
