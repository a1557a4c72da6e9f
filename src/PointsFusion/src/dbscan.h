#pragma once

// Density clustering (DBSCAN) of scalar values or of positions. A point is a core point
// when at least `minPts` other points lie within `eps` of it (distance exactly eps counts);
// core points within eps of each other share a cluster. Clusters hold core points only;
// every other point is noise.

#include "values/point.h"

#include <cstdint>
#include <functional>
#include <vector>

class DBSCAN {
 public:
  using Distance = std::function<double(const pi::Point3d&, const pi::Point3d&)>;

  // Returns 0 after a run; 1 without running when there are no points, `dim` is not
  // positive, `minPts` is 0, or eps * eps is not finite. Either way `clusters` and `noise`
  // are reset first, so a reused object never reports the clusters of an earlier call.
  // Only the first `dim` coordinates are compared, by Euclidean distance; `distance` is
  // accepted for callers that pass one but does not change the neighbourhoods.
  int Run(const std::vector<double>& points, int dim, double eps, int minPts,
          const Distance& distance = {});
  int Run(const std::vector<pi::Point3d>& points, int dim, double eps, int minPts,
          const Distance& distance = {});

  // Point indices of each cluster; clusters ordered by their lowest-index member.
  std::vector<std::vector<uint32_t>> clusters;
  // Indices of the points in no cluster, ascending.
  std::vector<int> noise;

 private:
  // `coords` holds n points of `dim` coordinates each.
  int run(const std::vector<double>& coords, uint32_t n, int dim, double eps, int minPts);
  // One dimension: exact clusters from the sorted values, no tree.
  void runSorted(const std::vector<double>& values, double eps, int minPts);
  // Any dimension: k-d tree neighbourhoods and breadth-first expansion.
  void runTree(const std::vector<double>& coords, uint32_t n, int dim, double eps, int minPts);
  void collectNoise(const std::vector<bool>& assigned);
};
