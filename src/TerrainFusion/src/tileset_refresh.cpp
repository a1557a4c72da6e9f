#include "src/TerrainFusion/src/tileset_refresh.h"

#include "framework/log.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <algorithm>

std::vector<std::shared_ptr<zel::OutputItem>> refreshedTilesets(
    const std::vector<std::shared_ptr<zel::OutputItem>>& records, const fw::TileRange& range,
    int level, int renderZooms) {
  std::vector<std::shared_ptr<zel::OutputItem>> refreshed;
  if (range.empty()) return refreshed;
  const int lowest = std::max(0, level - clampRenderZooms(renderZooms) + 1);
  for (const auto& record : records) {
    auto copy = record ? record->clone() : nullptr;
    auto tileset = std::dynamic_pointer_cast<zel::Tileset>(copy);
    if (!tileset) {
      FW_LOG(fw::kLogError) << "Failed to cast tileset";
      continue;
    }
    tileset->geometry = {static_cast<double>(range.minX), static_cast<double>(range.minY),
                         static_cast<double>(range.maxX), static_cast<double>(range.maxY)};
    tileset->zooms = {level, lowest};
    tileset->state = zel::kOutputInProgress;
    tileset->markUpdated();
    refreshed.push_back(copy);
  }
  return refreshed;
}
