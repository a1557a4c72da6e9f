#!/usr/bin/env bash
# Installs every Debian package the project needs; does nothing when all are present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev lld
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-dev libsqlite3-dev libssl-dev nlohmann-json3-dev libboost-dev
  libtiff-dev zlib1g-dev libpng-dev libjpeg-dev
  pngcheck libtiff-tools gdal-bin sqlite3 clang-format
  libceres-dev python3-venv
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

# Readers written by others that the tests use to check our products (3D Tiles, PNG and TIFF
# tiles); they live in a virtual environment of their own beside the build folders.
# The versions are pinned in scripts/test_readers.txt; a venv made from other versions is
# brought to them.
venv=".venv"
readers="scripts/test_readers.txt"
if [ ! -x "$venv/bin/python" ] ||
  ! diff -q <(grep -v '^#' "$readers" | sort -f) <("$venv/bin/pip" freeze | sort -f) >/dev/null; then
  python3 -m venv "$venv"
  "$venv/bin/pip" install --quiet -r "$readers"
fi
