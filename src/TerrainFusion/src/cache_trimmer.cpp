#include "src/TerrainFusion/src/cache_trimmer.h"

#include "framework/log.h"

#include <chrono>

void evictTilesOlderThan(double bound, bool mbtiles, TileManagerCachedGDAL& cache) {
  const auto start = std::chrono::steady_clock::now();
  const TileManagerCachedGDAL::Eviction eviction =
      mbtiles ? cache.flushTilesOlderThanToMbtiles(bound) : cache.releaseTilesOlderThan(bound);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  FW_LOG(fw::kLogInfo) << "Remove cache num: " << eviction.first
                       << " remain cache num: " << eviction.second << " time: " << ms << " ms";
}
