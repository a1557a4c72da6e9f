#include "src/TerrainFusion/src/cache_trimmer.h"

#include "framework/log.h"

#include <algorithm>
#include <chrono>

void trimCacheByFrameTimes(std::deque<double>& times, double t, int history, bool mbtiles,
                           TileManagerCachedGDAL& cache) {
  times.push_back(t);
  if (times.size() <= static_cast<size_t>(std::max(history, 1))) return;
  const double oldest = times.front();
  times.pop_front();
  const auto start = std::chrono::steady_clock::now();
  const TileManagerCachedGDAL::Eviction eviction =
      mbtiles ? cache.flushTilesOlderThanToMbtiles(oldest) : cache.releaseTilesOlderThan(oldest);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  FW_LOG(fw::kLogInfo) << "Remove cache num: " << eviction.first
                       << " remain cache num: " << eviction.second << " time: " << ms << " ms";
}
