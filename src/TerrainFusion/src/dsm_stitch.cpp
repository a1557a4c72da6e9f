#include "framework/log.h"
#include "framework/timer.h"
#include "src/TerrainFusion/src/tile_clock.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <mutex>

namespace {

class TimerSection {
 public:
  explicit TimerSection(const char* name) : name_(name) { fw::Timer::instance().enter(name_); }
  ~TimerSection() { fw::Timer::instance().leave(name_); }
  TimerSection(const TimerSection&) = delete;
  TimerSection& operator=(const TimerSection&) = delete;

 private:
  const char* name_;
};

bool stitchIntoTile(TileAccess& access, const TilePiece& piece, int32_t x, int32_t y, int32_t z) {
  std::lock_guard<std::mutex> lock(access.lockFor(x, y, z));
  const auto stored = access.tiles().GetTile(x, y, z);
  const auto image = std::dynamic_pointer_cast<fw::ImageTile>(stored);
  if (!image) {
    tile_model::Rasters r = copyRasters(piece.rasters);
    tile_model::maskHeightsByWeight(r.heights, r.weight);
    access.tiles().SetTile(x, y, z,
                           tile_model::makeTile(r, x, y, z, tileClockSeconds(),
                                                copyMats(piece.bands), copyMats(piece.weights)));
    return true;
  }
  tile_model::Rasters r = tile_model::privateRasters(*image);
  mergeHeightsAndColours(piece.rasters, r, piece.gapCells);
  tile_model::maskHeightsByWeight(r.heights, r.weight);
  // The band stacks stay as stored: shared, never written.
  std::vector<cv::Mat> bands, weights;
  uint32_t tag = 0;
  if (const auto multi = std::dynamic_pointer_cast<TerrainFusionMultiTile>(stored)) {
    bands = tile_model::toMats(multi->bandStack1);
    weights = tile_model::toMats(multi->bandStack3);
    tag = multi->GetTag();
  }
  // Stamped by the tile clock, not the frame's time, so that trimming by age can evict it.
  const auto tile = tile_model::makeTile(r, x, y, z, tileClockSeconds(), bands, weights,
                                         image->GetAuxRaster(), tag);
  if (access.tiles().SetTile(x, y, z, tile)) return true;
  FW_LOG(fw::kLogError) << "Can not set simple stitched DSM tile.";
  return false;
}

}  // namespace

bool stitchTiles(TileAccess& access, const TileRasters& rasters, int32_t zoom, int renderZooms) {
  TimerSection section("TerrainFusion::stitchDSM");
  if (!rasters.fitsSpan()) return false;
  const FramePyramids pyramids(rasters);
  const long long x0 = rasters.firstTile.x;
  const auto y0 = static_cast<int32_t>(rasters.firstTile.y);
  for (int32_t y = y0; y <= static_cast<int32_t>(rasters.lastTile.y); ++y) {
    for (long long x = x0; x <= rasters.lastTile.x; ++x) {
      const int32_t column = wrapColumn(x, zoom);
      const TilePiece piece = cutPiece(rasters, pyramids, int(x - x0), y - y0);
      // A piece without weight would change nothing, or make a tile of nothing.
      if (cv::countNonZero(piece.rasters.weight) == 0) continue;
      if (!stitchIntoTile(access, piece, column, y, zoom)) return false;
      renderLowerZoomsOf(access, column, y, zoom, renderZooms);
    }
  }
  return true;
}
