#pragma once

#include "chain/output_item.h"
#include "tiles/tile_manager.h"

#include <memory>
#include <vector>

// Refreshed copies of the node's tileset records for the cache's current extent: geometry
// the finest zoom's tile index box, zooms (level, lowest zoom written), in progress, stamped
// as a new refresh. None while nothing was stored at the finest zoom.
std::vector<std::shared_ptr<zel::OutputItem>> refreshedTilesets(
    const std::vector<std::shared_ptr<zel::OutputItem>>& records, const fw::TileRange& range,
    int level, int renderZooms);
