#pragma once

#include "tiles/tile_manager_cached_gdal.h"

#include <deque>

// Trimming of the tile cache by the end times of frames: once more end times are kept than
// frames run at once, the oldest is a time before which no running frame started, and every
// tile not changed since is evicted (modified ones written back on the way out).
//
// Appends t (tile clock seconds) to `times`; with more than `history` times kept, evicts the
// tiles older than the oldest one and forgets it. MBTiles stores take the evicted tiles in one
// transaction per database. The caller holds the lock of `times`, which is taken before the
// cache's lock.
void trimCacheByFrameTimes(std::deque<double>& times, double t, int history, bool mbtiles,
                           TileManagerCachedGDAL& cache);
