#include "framework/log.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/cache_trimmer.h"
#include "src/TerrainFusion/src/tile_writers.h"
#include "src/TerrainFusion/src/tileset_refresh.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <optional>

namespace {

TileRasters rastersOf(const TerrainFusion::LocalDSMData& local) {
  TileRasters r;
  r.firstTile = local.firstTile;
  r.lastTile = local.lastTile;
  r.dom = local.dom;
  r.weight = local.weight;
  r.dsm = local.dsm;
  r.gapCells = local.gapCells;
  return r;
}

}  // namespace

bool TerrainFusion::generateTiles(const std::shared_ptr<LocalDSMData>& local) {
  if (!local || !tileManager_) return false;
  TileAccess access(tileManager_, tileLocks_);
  return blendTiles(access, rastersOf(*local), placement_.zoom(), options_.renderZooms);
}

bool TerrainFusion::stitchDSM(const std::shared_ptr<LocalDSMData>& local) {
  if (!local || !tileManager_) return false;
  TileAccess access(tileManager_, tileLocks_);
  return stitchTiles(access, rastersOf(*local), placement_.zoom(), options_.renderZooms);
}

void TerrainFusion::renderLowerZooms(const pi::Point3_<int32_t>& position) {
  if (!tileManager_) return;
  TileAccess access(tileManager_, tileLocks_);
  renderLowerZoomsOf(access, position.x, position.y, position.z, options_.renderZooms);
}

void TerrainFusion::trimTileCache(double now) {
  const auto cache = std::dynamic_pointer_cast<TileManagerCachedGDAL>(tileManager_);
  if (!cache) return;
  // One end time per frame tiled at once: the oldest kept is then older than every running
  // frame's start.
  const std::optional<double> bound = frameEndTimes_.record(now, options_.workers);
  // The eviction writes tiles to the store: after the list's lock, so that other frames can
  // record their end times meanwhile. The cache's own lock keeps evictions apart.
  if (bound) evictTilesOlderThan(*bound, storageMode_ != kStorageFiles, *cache);
}

void TerrainFusion::updateTilesets() {
  if (!tileManager_) return;
  std::vector<std::shared_ptr<zel::OutputItem>> records;
  visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) {
    if (record) records.push_back(record->clone());  // copied under the output lock
  });
  const auto refreshed =
      refreshedTilesets(records, tileManager_->GetRange(),
                        static_cast<int>(tileManager_->GetLevel()), options_.renderZooms);
  for (const auto& record : refreshed) addOutput(record);
}
