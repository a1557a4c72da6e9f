#include "src/TerrainFusion/src/tile_access.h"

#include "src/TerrainFusion/src/tile_clock.h"
#include "tiles/tile.h"

TileAccess::TileAccess(std::shared_ptr<fw::TileManager> tiles, TileLockTable& locks)
    : tiles_(std::move(tiles)), locks_(locks) {}

namespace {

bool aheadOfClock(const std::shared_ptr<fw::TileBase>& tile, double now) {
  auto image = std::dynamic_pointer_cast<fw::ImageTile>(tile);
  return image && image->GetTimestamp() > now;
}

}  // namespace

std::shared_ptr<fw::TileBase> TileAccess::readTile(int32_t x, int32_t y, int32_t z) {
  std::shared_ptr<fw::TileBase> tile = tiles_->GetTile(x, y, z);
  if (!aheadOfClock(tile, tileClockSeconds())) return tile;
  std::lock_guard<std::mutex> lock(lockFor(x, y, z));
  tile = tiles_->GetTile(x, y, z);
  auto stored = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tile);
  if (!stored || !aheadOfClock(tile, tileClockSeconds())) return tile;
  // Same pixels (never written once cached), only the stamp differs.
  auto restamped = std::make_shared<TerrainFusionMultiTile>(*stored);
  restamped->SetTimestamp(0.0);
  tiles_->SetTile(x, y, z, restamped);
  return restamped;
}
