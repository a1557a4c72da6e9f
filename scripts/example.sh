#!/usr/bin/env bash
# Sets up the machine, builds the program, writes the synthetic example flight (a rendered
# lawnmower survey over hills, buildings and a road, with its ground truth) and maps it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

example="$PWD/build/example"
rm -rf "$example"
mkdir -p "$example/home"
build/tools/make_example_flight --out "$example/flight"

task=$(printf '{"home":"%s","dataset":{"form":"zel_frame","uri":"%s"}}' "$example/home" "$example/flight/frames.json" | base64 -w0)
config=$(printf '{}' | base64 -w0)
build/src/VornMapping/src/VornMapping --task "$task" --config "$config"
echo "The task log is $example/home/log.txt; the ground truth is in $example/flight/truth."
if [ ! -f src/PointsFusion/src/CMakeLists.txt ]; then
  echo "The dense back end (legacy_pf) is not built yet: the run ends in state -14 before any frame is located."
fi
