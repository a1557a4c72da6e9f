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
  PendingWrites writes(*this);  // written after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  if (!store_) return 0.0;
  const Key key = keyOf(x, y, z);
  std::shared_ptr<fw::TileBase> tile;
  const auto it = touchLocked(key);
  const bool wasCached = it != entries_.end();
  if (wasCached) {
    tile = it->holder->tile;
  } else {
    tile = loadLocked(key);
    if (!tile) return 0.0;
    insertLocked(key, tile, writes);
  }
  auto timed = std::dynamic_pointer_cast<fw::ImageTile>(tile);
  if (!timed || !(timed->GetTimestamp() > t)) return 0.0;
  if (wasCached) writes.rewriteLocked(key, tile);
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
  PendingWrites writes(*this);  // modified tiles are written after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t removed = 0;
  while (backOlderThanLocked(t)) {
    popBackLocked(writes);
    ++removed;
  }
  return {removed, static_cast<uint32_t>(entries_.size())};
}

TileManagerCachedGDAL::Eviction TileManagerCachedGDAL::flushTilesOlderThanToMbtiles(double t) {
  PendingWrites writes(*this);  // written after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t removed = 0;
  while (backOlderThanLocked(t)) {
    popBackLocked(writes);
    ++removed;
  }
  // One transaction per database; the tiles it did not commit are then written back one by
  // one, in eviction order.
  writes.batch = [this](std::vector<std::shared_ptr<Holder>>& holders) {
    std::vector<std::shared_ptr<fw::TileBase>> tiles;
    tiles.reserve(holders.size());
    for (const auto& holder : holders) tiles.push_back(holder->tile);
    const std::vector<bool> stored = storeTogether(tiles);
    for (size_t i = 0; i < holders.size() && i < stored.size(); ++i) holders[i]->stored = stored[i];
  };
  return {removed, static_cast<uint32_t>(entries_.size())};
}

std::vector<bool> TileManagerCachedGDAL::storeTogether(
    const std::vector<std::shared_ptr<fw::TileBase>>& tiles) {
  using Mbtiles = TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;
  if (auto mbtiles = std::dynamic_pointer_cast<Mbtiles>(store_))
    return mbtiles->SetTilesInTransaction(tiles);
  return std::vector<bool>(tiles.size(), false);
}
