#include "framework/log.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/cache_trimmer.h"
#include "src/TerrainFusion/src/tile_writers.h"
#include "src/TerrainFusion/src/tileset_refresh.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <thread>

namespace {

TileRasters rastersOf(const TerrainFusion::LocalDSMData& local) {
  TileRasters r;
  r.firstTile = local.firstTile;
  r.lastTile = local.lastTile;
  r.dom = local.dom;
  r.weight = local.weight;
  r.dsm = local.dsm;
  return r;
}

}  // namespace

bool TerrainFusion::generateTiles(const std::shared_ptr<LocalDSMData>& local) {
  if (!local || !tileManager_) return false;
  TileAccess access(tileManager_, tileLocks_);
  return blendTiles(access, rastersOf(*local), zoomLevel_,
                    *settings_.GetInt("terrainfusion.render_zooms", kDefaultRenderZooms));
}

bool TerrainFusion::stitchDSM(const std::shared_ptr<LocalDSMData>& local) {
  if (!local || !tileManager_) return false;
  TileAccess access(tileManager_, tileLocks_);
  return stitchTiles(access, rastersOf(*local), zoomLevel_,
                     *settings_.GetInt("terrainfusion.render_zooms", kDefaultRenderZooms));
}

void TerrainFusion::renderLowerZooms(const pi::Point3_<int32_t>& position) {
  if (!tileManager_) return;
  TileAccess access(tileManager_, tileLocks_);
  renderLowerZoomsOf(access, position.x, position.y, position.z,
                     *settings_.GetInt("terrainfusion.render_zooms", kDefaultRenderZooms));
}

void TerrainFusion::trimTileCache(double now) {
  const auto cache = std::dynamic_pointer_cast<TileManagerCachedGDAL>(tileManager_);
  if (!cache) return;
  std::lock_guard<std::mutex> lock(frameTimesMutex_);
  const int hardware = static_cast<int>(std::thread::hardware_concurrency());
  const int history = *settings_.GetInt("terrainfusion.threads", hardware);
  trimCacheByFrameTimes(frameTimes_, now, history, storageMode_ != kStorageFiles, *cache);
}

void TerrainFusion::updateTilesets() {
  if (!tileManager_) return;
  std::vector<std::shared_ptr<zel::OutputItem>> records;
  visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) {
    if (record) records.push_back(record->clone());  // copied under the output lock
  });
  const auto refreshed = refreshedTilesets(
      records, tileManager_->GetRange(), static_cast<int>(tileManager_->GetLevel()),
      *settings_.GetInt("terrainfusion.render_zooms", kDefaultRenderZooms));
  for (const auto& record : refreshed) addOutput(record);
}
