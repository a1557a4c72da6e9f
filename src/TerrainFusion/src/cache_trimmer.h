#pragma once

#include "tiles/tile_manager_cached_gdal.h"

#include <deque>
#include <optional>

// Trimming of the tile cache by the end times of frames: once more end times are kept than
// frames run at once, the oldest is a time before which no running frame started, and every
// tile not changed since is evicted (modified ones written back on the way out).

// Appends t (tile clock seconds) to `times`; with more than `history` times kept, forgets the
// oldest and returns it as the bound to evict by. The caller holds the lock of `times` for
// this step only: the eviction writes to the store and runs after it.
std::optional<double> takeEvictionBound(std::deque<double>& times, double t, int history);

// Evicts the tiles older than `bound`, writing the modified ones back; MBTiles stores take
// them in one transaction per database.
void evictTilesOlderThan(double bound, bool mbtiles, TileManagerCachedGDAL& cache);

// Both steps, for a caller that has `times` to itself.
void trimCacheByFrameTimes(std::deque<double>& times, double t, int history, bool mbtiles,
                           TileManagerCachedGDAL& cache);
