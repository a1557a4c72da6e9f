#!/usr/bin/env bash
# Sets up the machine, builds the program, writes the synthetic example flight (a rendered
# lawnmower survey over hills, buildings and a road, with its ground truth) and maps it into
# an orthophoto, a surface model and a point cloud.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target VornMapping make_example_flight

example="$PWD/build/example"
rm -rf "$example"
mkdir -p "$example/home"
build/tools/make_example_flight --out "$example/flight"

task=$(printf '{"home":"%s","dataset":{"form":"zel_frame","uri":"%s"}}' "$example/home" "$example/flight/frames.json" | base64 -w0)
config=$(printf '{}' | base64 -w0)
build/src/VornMapping/src/VornMapping --task "$task" --config "$config" 2> "$example/status.txt"
last=$(grep '"state"' "$example/status.txt" | tail -n 1 || true)
echo "Last status line: $last"

home="$example/home"
echo
echo "Orthophoto (DOM):    $home/dom/dom.mbtiles"
echo "Surface model (DSM): $home/dsm/dsm.mbtiles"
echo "Point cloud:         $home/dense/tileset.json"
echo "Task log:            $home/log.txt; ground truth: $example/flight/truth"
if [ -f "$home/dom/dom.mbtiles" ] && command -v gdalinfo > /dev/null; then
  echo
  gdalinfo "$home/dom/dom.mbtiles" | grep -m1 "^Size is" | sed 's/^/gdalinfo dom.mbtiles: /'
  echo "Quick look of the orthophoto:"
  echo "  gdal_translate -of PNG -outsize 50% 0 $home/dom/dom.mbtiles $example/dom_quicklook.png"
fi
echo "Check the point cloud with py3dtiles:"
echo "  .venv/bin/python src/3dtiles/src/read_tiles_with_py3dtiles.py $home/dense/tileset.json > /dev/null && echo loads"
echo "Accuracy against the ground truth:"
echo "  .venv/bin/python scripts/evaluate_products.py --truth $example/flight/truth --dom $home/dom/dom.mbtiles --dsm $home/dsm/dsm.mbtiles"
case "$last" in
  *'"state":12'* | *'"state": 12'*) ;;
  *) echo "The run did not finish (state 12); see $home/log.txt" >&2; exit 1 ;;
esac
