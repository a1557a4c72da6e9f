#include "src/PointsFusion/src/ground_level.h"

#include "src/PointsFusion/src/dbscan.h"

std::optional<GroundLevel> groundLevel(const std::vector<double>& heights) {
  if (heights.empty()) return std::nullopt;
  DBSCAN clustering;
  clustering.Run(heights, 1, kGroundClusterEps, kGroundClusterMinPoints);
  const std::vector<uint32_t>* largest = nullptr;
  for (const auto& cluster : clustering.clusters) {
    if (!largest || cluster.size() > largest->size()) largest = &cluster;
  }
  GroundLevel level;
  level.clustered = largest != nullptr;
  double sum = 0.0;
  if (largest && !largest->empty()) {
    for (uint32_t index : *largest) sum += heights[index];
    level.count = largest->size();
  } else {
    for (double h : heights) sum += h;
    level.count = heights.size();
  }
  level.offset = sum / double(level.count);
  return level;
}
