#pragma once

#include "tiles/store_timings.h"
#include "tiles/tile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The steps both tile stores take to keep a tile's DOM and DSM images: encode them as the
// stores keep them (tile_blobs.h), hand the bytes to the store's own writer, and time both.
namespace store_images {

// Keeps the encoded bytes in the store; true when they are kept (a failure logs its reason).
using Put = std::function<bool(const std::vector<uint8_t>& bytes)>;

// The tile as the stores keep it; null, logged, for a tile of any other kind.
std::shared_ptr<TerrainFusionMultiTile> multiTileOf(const std::shared_ptr<fw::TileBase>& tile);

// Encodes the tile's DOM as a PNG (`pngFlags` of encodePng) and puts it; a kept image adds its
// merge, encode, write and total times to `timings`. `where` names the tile in the log line of
// an image that does not encode. False when it does not encode or is not kept.
bool putDom(const TerrainFusionMultiTile& tile, unsigned pngFlags, const std::string& where,
            StoreTimings& timings, const Put& put);
// The same for the DSM as a float TIFF, with its encode, write and total times.
bool putDsm(const TerrainFusionMultiTile& tile, const std::string& where, StoreTimings& timings,
            const Put& put);

}  // namespace store_images
