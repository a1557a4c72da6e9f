#include "tiles/tile_manager_cached_gdal.h"

#include "tiles/tile_manager_mbtiles.h"

#include <vector>

TileManagerCachedGDAL::TileManagerCachedGDAL(const std::shared_ptr<fw::PureProjection>& projection,
                                             std::shared_ptr<fw::TileManager> store,
                                             uint32_t capacity)
    : fw::TileManagerCached(std::move(store), capacity) {
  if (store_) store_->SetProjection(projection);
  fw::TileManager::SetProjection(projection);
}

void TileManagerCachedGDAL::call(const std::string& command, void* arg) {
  if (command == "Export") {
    auto* path = static_cast<std::string*>(arg);
    if (path && Export(*path)) path->clear();
  } else if (command == "check_tile") {
    auto* values = static_cast<double*>(arg);
    if (values) {
      values[3] = CheckTile(static_cast<int32_t>(values[0]), static_cast<int32_t>(values[1]),
                            static_cast<int32_t>(values[2]), values[3]);
    }
  } else {
    fw::TileManagerCached::call(command, arg);
  }
}

double TileManagerCachedGDAL::CheckTile(int32_t x, int32_t y, int32_t z, double t) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!store_) return 0.0;
  const Key key = keyOf(x, y, z);
  std::shared_ptr<fw::TileBase> tile;
  const auto it = touchLocked(key);
  const bool wasCached = it != entries_.end();
  if (wasCached) {
    tile = it->holder->tile;
  } else {
    tile = store_->GetTile(x, y, z);
    if (!tile) return 0.0;
    insertLocked(key, tile);
  }
  auto timed = std::dynamic_pointer_cast<fw::ImageTile>(tile);
  if (!timed || !(timed->GetTimestamp() > t)) return 0.0;
  if (wasCached) store_->SetTile(x, y, z, tile);
  return timed->GetTimestamp();
}

bool TileManagerCachedGDAL::backOlderThanLocked(double t) const {
  if (entries_.empty()) return false;
  const auto& tile = entries_.back().holder->tile;
  if (!tile) return true;
  auto timed = std::dynamic_pointer_cast<fw::ImageTile>(tile);
  return timed && timed->GetTimestamp() < t;
}

TileManagerCachedGDAL::Eviction TileManagerCachedGDAL::releaseTilesOlderThan(double t) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t removed = 0;
  while (backOlderThanLocked(t)) {
    popBackLocked();  // the holder writes back a modified tile as it goes
    ++removed;
  }
  return {removed, static_cast<uint32_t>(entries_.size())};
}

TileManagerCachedGDAL::Eviction TileManagerCachedGDAL::flushTilesOlderThanToMbtiles(double t) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<Holder>> batch;
  while (backOlderThanLocked(t)) batch.push_back(popBackLocked());
  const Eviction result{static_cast<uint32_t>(batch.size()),
                        static_cast<uint32_t>(entries_.size())};
  using Mbtiles = TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;
  if (auto mbtiles = std::dynamic_pointer_cast<Mbtiles>(store_); mbtiles && !batch.empty()) {
    std::vector<std::shared_ptr<fw::TileBase>> tiles;
    tiles.reserve(batch.size());
    for (const auto& holder : batch) tiles.push_back(holder->tile);
    const std::vector<bool> stored = mbtiles->SetTilesInTransaction(tiles);
    for (size_t i = 0; i < batch.size(); ++i) batch[i]->stored = stored[i];
  }
  // Holders of tiles the batch did not commit write them back, in eviction order.
  for (auto& holder : batch) holder.reset();
  return result;
}
