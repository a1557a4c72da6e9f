#include "framework/key_point_geometry.h"

#include <cmath>

namespace fw {

std::optional<double> keyPointDepth(MapFrame& frame, int index) {
  Point2d inverseDepth;
  if (!frame.getKeyPointInverseDepth(index, inverseDepth)) return std::nullopt;
  if (!(inverseDepth.x > 0.0) || !std::isfinite(inverseDepth.x)) return std::nullopt;
  const double depth = 1.0 / inverseDepth.x;
  if (!std::isfinite(depth)) return std::nullopt;
  return depth;
}

std::optional<pi::Point3d> keyPointInCamera(MapFrame& frame, const Camera& camera, int index) {
  cv::Point2f pixel;
  if (!frame.getKeyPointPosition(index, pixel)) return std::nullopt;
  const std::optional<double> depth = keyPointDepth(frame, index);
  if (!depth) return std::nullopt;
  const pi::Point3d ray = camera.UnProject(Point2d(pixel.x, pixel.y));
  const pi::Point3d p(ray.x * *depth, ray.y * *depth, ray.z * *depth);
  if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return std::nullopt;
  return p;
}

}  // namespace fw
