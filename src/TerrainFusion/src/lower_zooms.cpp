#include "framework/log.h"
#include "src/TerrainFusion/src/halve_image.h"
#include "src/TerrainFusion/src/tile_clock.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

using tile_model::kCellsPerTile;
using tile_model::kNoHeight;
using tile_model::kTileSize;

int clampRenderZooms(int requested) {
  const int clamped = std::clamp(requested, 1, kMaxRenderZooms);
  if (clamped != requested) {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) {
      FW_LOG(fw::kLogWarning) << "terrainfusion.render_zooms " << requested << " is outside 1.."
                              << kMaxRenderZooms << "; using " << clamped;
    }
  }
  return clamped;
}

int32_t wrapColumn(long long x, int32_t zoom) {
  const long long columns = 1LL << std::clamp(zoom, 0, 30);
  const long long wrapped = x % columns;
  return static_cast<int32_t>(wrapped < 0 ? wrapped + columns : wrapped);
}

namespace {

// Even the highest ancestor holds its source in whole cells, so no block is ever empty.
static_assert((kCellsPerTile >> (kMaxRenderZooms - 1)) >= 1,
              "a tile's cells must cover every zoom rendered below it");

// Block of the source inside the ancestor k levels up, for a raster of `size` pixels.
cv::Rect blockOf(int32_t x, int32_t y, int k, int size) {
  const int parts = 1 << k;
  const int side = size / parts;
  return cv::Rect((x % parts) * size / parts, (y % parts) * size / parts, side, side);
}

}  // namespace

void renderLowerZoomsOf(TileAccess& access, int32_t x, int32_t y, int32_t z, int renderZooms) {
  const int levels = std::min(clampRenderZooms(renderZooms) - 1, static_cast<int>(z));
  if (levels < 1) return;
  std::lock_guard<std::mutex> sourceLock(access.lockFor(x, y, z));
  const auto source = std::dynamic_pointer_cast<fw::ImageTile>(access.tiles().GetTile(x, y, z));
  if (!source) {
    FW_LOG(fw::kLogError) << "TerrainFusion::renderLowerZooms: no tile " << x << "," << y << ","
                          << z;
    return;
  }
  std::vector<tile_model::Rasters> shrunk(static_cast<size_t>(levels) + 1);
  shrunk[0] = tile_model::lentRasters(*source);  // only read
  for (int k = 1; k <= levels; ++k) {
    cv::pyrDown(shrunk[k - 1].dom, shrunk[k].dom);
    halveImage(shrunk[k - 1].weight, shrunk[k].weight);
    halveImage(shrunk[k - 1].heights, shrunk[k].heights);
  }
  for (int k = 1; k <= levels; ++k) {
    const int32_t ax = x >> k, ay = y >> k, az = z - k;
    std::lock_guard<std::mutex> ancestorLock(access.lockFor(ax, ay, az));
    const auto stored = access.tiles().GetTile(ax, ay, az);
    const auto image = std::dynamic_pointer_cast<fw::ImageTile>(stored);
    tile_model::Rasters r;
    fw::GImage aux;
    uint32_t tag = 0;
    if (image) {
      r = tile_model::privateRasters(*image);
      aux = image->GetAuxRaster();
      if (auto fusion = std::dynamic_pointer_cast<TerrainFusionTile>(stored))
        tag = fusion->GetTag();
    } else {
      r.dom = cv::Mat(kTileSize, kTileSize, CV_8UC3, cv::Scalar::all(0));
      r.weight = cv::Mat(kTileSize, kTileSize, CV_8UC1, cv::Scalar::all(0));
      r.heights = cv::Mat(kCellsPerTile, kCellsPerTile, CV_32FC1, cv::Scalar::all(kNoHeight));
    }
    const cv::Rect pixels = blockOf(x, y, k, kTileSize), cells = blockOf(x, y, k, kCellsPerTile);
    shrunk[k].dom.copyTo(r.dom(pixels));
    shrunk[k].weight.copyTo(r.weight(pixels));
    shrunk[k].heights.copyTo(r.heights(cells));
    // A cell's mask reads its own pixels only, and the rest of the ancestor was masked
    // before it was stored: the block alone needs masking.
    cv::Mat blockHeights = r.heights(cells);
    tile_model::maskHeightsByWeight(blockHeights, r.weight(pixels));
    // Ancestors carry no band stacks: blending never runs on them.
    access.tiles().SetTile(
        ax, ay, az, tile_model::makeTile(r, ax, ay, az, tileClockSeconds(), {}, {}, aux, tag));
  }
}
