#!/usr/bin/env bash
# Installs every Debian package the project needs; does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-dev libsqlite3-dev libssl-dev nlohmann-json3-dev libboost-dev
  libtiff-dev zlib1g-dev libpng-dev
  pngcheck libtiff-tools gdal-bin sqlite3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
