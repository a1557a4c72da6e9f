#pragma once

// What the back end derives from a located frame's sparse points, written out for the
// tests of the front end: the depth range of a (rectified) view, clustered the way the
// dense stage does it, and the ground level of the height clustering of the map set-up
// and terrain fusion. Both cluster scalar values keeping core values only: a value is a
// core when at least min_points other values lie within eps of it; cores within eps of
// each other form one cluster.

#include "framework/map_frame.h"
#include "framework/pose.h"

#include <algorithm>
#include <vector>

namespace sfm::testing {

// Clusters of core values, each a list of values, largest first (ties keep value order).
inline std::vector<std::vector<double>> coreClusters(std::vector<double> values, double eps, int min_points) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  std::vector<std::vector<double>> clusters;
  size_t lo = 0, hi = 0;
  double last_core = 0.0;
  for (size_t i = 0; i < n; ++i) {
    while (values[i] - values[lo] > eps) ++lo;
    hi = std::max(hi, i);
    while (hi + 1 < n && values[hi + 1] - values[i] <= eps) ++hi;
    const int neighbours = static_cast<int>(hi - lo);  // every value within eps but itself
    if (neighbours < min_points) continue;
    if (clusters.empty() || values[i] - last_core > eps) clusters.emplace_back();
    clusters.back().push_back(values[i]);
    last_core = values[i];
  }
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const std::vector<double>& a, const std::vector<double>& b) { return a.size() > b.size(); });
  return clusters;
}

// The frame's sparse points in its camera (ray times depth), read through the frame
// interface as the back end reads them.
inline std::vector<pi::Point3d> sparseCameraPoints(fw::MapFrame& frame) {
  std::vector<pi::Point3d> points;
  const fw::Camera camera = frame.getCamera(0);
  for (const auto& observation : frame.getObservations()) {
    const int index = static_cast<int>(observation.second);
    fw::Point2d inverse_depth;
    cv::Point2f pixel;
    if (!frame.getKeyPointInverseDepth(index, inverse_depth) || !frame.getKeyPointPosition(index, pixel)) continue;
    const pi::Point3d ray = camera.UnProject(fw::Point2d(pixel.x, pixel.y));
    const double depth = 1.0 / inverse_depth.x;
    points.emplace_back(ray.x * depth, ray.y * depth, ray.z * depth);
  }
  return points;
}

struct DepthRange {
  double min = 0.0, max = 0.0;
  double all_min = 0.0, all_max = 0.0;  // extent of every sparse depth, clustered or not
  bool clustered = false;               // false: the 2 % / 98 % quantiles were taken
};

// Depth range of the frame's sparse points seen through a camera turned by `view_from_camera`.
inline DepthRange depthRange(fw::MapFrame& frame, const fw::Matrix3& view_from_camera) {
  std::vector<double> depths;
  for (const pi::Point3d& p : sparseCameraPoints(frame)) {
    depths.push_back(view_from_camera[6] * p.x + view_from_camera[7] * p.y + view_from_camera[8] * p.z);
  }
  DepthRange range;
  if (depths.empty()) return range;
  range.all_min = *std::min_element(depths.begin(), depths.end());
  range.all_max = *std::max_element(depths.begin(), depths.end());
  const int n = frame.observationCount();
  const auto clusters = n / 50 > 0 ? coreClusters(depths, (range.all_max - range.all_min) / 50.0, n / 50)
                                   : std::vector<std::vector<double>>{};
  if (clusters.empty()) {
    std::sort(depths.begin(), depths.end());
    range.min = depths[static_cast<size_t>(depths.size() * 0.02)];
    range.max = depths[static_cast<size_t>(depths.size() * 0.98)];
    return range;
  }
  range.clustered = true;
  range.min = 1e300;
  range.max = -1e300;
  for (const auto& cluster : clusters) {
    range.min = std::min(range.min, cluster.front());
    range.max = std::max(range.max, cluster.back());
  }
  return range;
}

struct GroundLevel {
  double ground = 0.0;     // mean height of the largest cluster, local up from the camera
  size_t cluster_size = 0;
  size_t points = 0;
};

// Heights of the sparse points in the east-north-up frame at the camera (rotation
// `ecef_from_enu`), clustered with radius 10 m and 5 neighbours.
inline GroundLevel groundLevel(fw::MapFrame& frame, const fw::Matrix3& ecef_from_enu) {
  const SE3 pose = frame.getPoseSE3();
  const fw::Matrix3 world_from_camera = fw::quaternionToMatrix(pose.q);
  std::vector<double> heights;
  for (const pi::Point3d& p : sparseCameraPoints(frame)) {
    double h = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double world = world_from_camera[k * 3] * p.x + world_from_camera[k * 3 + 1] * p.y + world_from_camera[k * 3 + 2] * p.z;
      h += ecef_from_enu[k * 3 + 2] * world;  // the up column
    }
    heights.push_back(h);
  }
  GroundLevel level;
  level.points = heights.size();
  const auto clusters = coreClusters(heights, 10.0, 5);
  const std::vector<double>& chosen = clusters.empty() ? heights : clusters.front();
  level.cluster_size = clusters.empty() ? 0 : chosen.size();
  for (double h : chosen) level.ground += h / chosen.size();
  return level;
}

}  // namespace sfm::testing
