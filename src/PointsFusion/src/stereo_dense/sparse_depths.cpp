#include "src/PointsFusion/src/stereo_dense/sparse_depths.h"

#include "framework/key_point_geometry.h"

#include <algorithm>
#include <cmath>

namespace sparse_depths {

std::vector<pi::Point3d> cameraPoints(fw::MapFrame& frame) {
  const fw::ObservationMap observations = frame.getObservations();
  const fw::Camera camera = frame.getCamera(0);
  std::vector<pi::Point3d> points;
  points.reserve(observations.size());
  for (const auto& observation : observations) {
    if (const auto p = fw::keyPointInCamera(frame, camera, int(observation.second)))
      points.push_back(*p);
  }
  return points;
}

std::vector<double> plausible(const std::vector<double>& depths) {
  std::vector<double> inFront;
  for (double z : depths)
    if (z >= kMinDepth && std::isfinite(z)) inFront.push_back(z);
  if (inFront.empty()) return inFront;
  std::vector<double> sorted = inFront;
  const auto middle = sorted.begin() + (sorted.size() - 1) / 2;
  std::nth_element(sorted.begin(), middle, sorted.end());
  const double low = *middle / kPlausibleFactor, high = *middle * kPlausibleFactor;
  std::vector<double> kept;
  for (double z : inFront)
    if (z >= low && z <= high) kept.push_back(z);
  return kept;
}

std::vector<pi::Point3d> plausiblePoints(fw::MapFrame& frame) {
  const std::vector<pi::Point3d> points = cameraPoints(frame);
  std::vector<double> depths;
  for (const pi::Point3d& p : points) depths.push_back(p.z);
  const std::vector<double> kept = plausible(depths);
  if (kept.size() < kMinDepths) return {};
  const auto [low, high] = std::minmax_element(kept.begin(), kept.end());
  std::vector<pi::Point3d> result;
  for (const pi::Point3d& p : points)
    if (p.z >= *low && p.z <= *high) result.push_back(p);
  return result;
}

bool heightAboveGround(fw::MapFrame& frame, double* height) {
  fw::Point2d gps;
  if (!frame.getGPSHeight(gps) || !(gps.x > kMinDepth) || !std::isfinite(gps.x)) return false;
  *height = gps.x;
  return true;
}

std::vector<pi::Point3d> groundGrid(fw::MapFrame& frame, double height) {
  const fw::Camera camera = frame.getCamera(0);
  std::vector<pi::Point3d> grid;
  for (int r = 0; r < kGridRows; ++r)
    for (int c = 0; c < kGridColumns; ++c) {
      const fw::Point2d pixel((camera.width() - 1) * (c + 0.5) / kGridColumns,
                              (camera.height() - 1) * (r + 0.5) / kGridRows);
      const pi::Point3d ray = camera.UnProject(pixel);
      if (!(ray.z > 0)) continue;
      const double scale = height / ray.z;
      grid.emplace_back(ray.x * scale, ray.y * scale, height);
    }
  return grid;
}

}  // namespace sparse_depths
