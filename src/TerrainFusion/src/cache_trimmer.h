#pragma once

#include "src/TerrainFusion/src/frame_end_times.h"
#include "tiles/tile_manager_cached_gdal.h"

// Trimming of the tile cache by the end times of frames (frame_end_times.h): every tile not
// changed since the bound is evicted, modified ones written back on the way out.

// Evicts the tiles older than `bound`, writing the modified ones back; MBTiles stores take
// them in one transaction per database.
void evictTilesOlderThan(double bound, bool mbtiles, TileManagerCachedGDAL& cache);
