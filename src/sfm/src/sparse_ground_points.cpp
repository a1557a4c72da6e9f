#include "sparse_ground_points.h"

#include "direct_georeferencing.h"

#include <cmath>
#include <stdexcept>

namespace sfm {
namespace {

// Depth along the optical axis at which the ray of `ray_enu` (camera ray with z = 1,
// turned into the local frame) meets the plane `drop` metres below the camera; false when
// it meets it behind the camera, too near, or too far towards the horizon.
bool depthToPlane(const pi::Point3d& ray_enu, double drop, const SparsePointOptions& options,
                  double* depth) {
  if (ray_enu.z >= 0.0 || drop <= 0.0) return false;
  *depth = -drop / ray_enu.z;
  return *depth >= options.min_depth && *depth <= options.max_depth_ratio * drop;
}

}  // namespace

void SparsePointOptions::check() const {
  if (grid_columns < 4 || grid_rows < 3)
    throw std::invalid_argument("the key-point grid needs at least 4 x 3 points");
  if (!(relief_margin >= 0.0 && relief_margin < 1.0))
    throw std::invalid_argument("the relief margin must lie in [0, 1)");
  if (!(min_depth > 0.0)) throw std::invalid_argument("the nearest depth must be positive");
  if (!(max_depth_ratio > 1.0))
    throw std::invalid_argument("the farthest depth must exceed the height");
}

int cornerStackSize(int ground_points, int corner_stacks) {
  int members = 1;
  while (members - 1 < (ground_points + corner_stacks * members) / 50) ++members;
  return members;
}

std::vector<SparsePoint> sparseGroundPoints(const fw::Camera& camera, const SE3& world_from_camera,
                                            const fw::Matrix3& ecef_from_enu, double height,
                                            const SparsePointOptions& options) {
  options.check();
  const fw::Matrix3 world_from_cam = fw::quaternionToMatrix(world_from_camera.q);
  const fw::Matrix3 enu_from_cam = multiply(transpose(ecef_from_enu), world_from_cam);
  const double last_x = camera.width() - 1.0, last_y = camera.height() - 1.0;
  // Key points hold single-precision positions. Positions on a 1/256 pixel raster are exact
  // in single precision, so the ray here is the one the back end unprojects.
  auto pointAt = [&](double x, double y, double drop, SparsePoint* point) {
    x = std::round(x * 256.0) / 256.0;
    y = std::round(y * 256.0) / 256.0;
    point->x = static_cast<float>(x);
    point->y = static_cast<float>(y);
    const pi::Point3d ray = camera.UnProject(fw::Point2d(x, y));
    double depth = 0.0;
    if (!depthToPlane(rotate(enu_from_cam, ray), drop, options, &depth)) return false;
    point->world =
        world_from_camera.transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, ray.z * depth));
    return true;
  };

  std::vector<SparsePoint> points;
  for (int r = 0; r < options.grid_rows; ++r) {
    for (int c = 0; c < options.grid_columns; ++c) {
      SparsePoint p;
      if (pointAt(last_x * c / (options.grid_columns - 1), last_y * r / (options.grid_rows - 1),
                  height, &p)) {
        points.push_back(p);
      }
    }
  }
  const int ground = static_cast<int>(points.size());
  if (ground == 0) return points;

  std::vector<SparsePoint> corners;
  for (double drop :
       {height * (1.0 - options.relief_margin), height * (1.0 + options.relief_margin)}) {
    for (double y : {0.0, last_y}) {
      for (double x : {0.0, last_x}) {
        SparsePoint p;
        if (pointAt(x, y, drop, &p)) corners.push_back(p);
      }
    }
  }
  const int members = cornerStackSize(ground, static_cast<int>(corners.size()));
  for (const SparsePoint& corner : corners) points.insert(points.end(), members, corner);
  return points;
}

}  // namespace sfm
