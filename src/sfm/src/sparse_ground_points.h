#pragma once

#include "framework/camera.h"
#include "framework/pose.h"
#include "values/point.h"

#include <vector>

// The sparse points of a located frame. Without image features the front end knows only
// where the ground is: the take-off ground, relative_altitude below the camera. Key points
// on a regular grid observe the points where their rays meet that ground. The dense stage
// bounds its disparity search by the depth range of these points and the map set-up takes
// the ground level from their heights, so two more layers reach above and below the ground
// by the relief margin:
//  - at each image corner a stack of identical points on the plane margin * height above
//    the ground and another on the plane as far below it. Every depth of terrain within
//    that relief, seen in the image, lies between the depths of these corner points in any
//    rotated view, because depth is linear in position and the corner rays span the view.
//  - each stack holds enough points that every member has at least N / 50 neighbours at
//    distance 0 (N = all points), so the depth clustering keeps them as cluster cores.
//  - the two layers hold equally many points, each fewer than the ground layer, so a
//    height clustering still finds the ground as its largest cluster, and even when the
//    layers lie within its radius of the ground they leave the mean unchanged.
namespace sfm {

struct SparsePointOptions {
  int grid_columns = 20;          // ground key points across the image (corners included)
  int grid_rows = 15;             // ground key points down the image
  double relief_margin = 0.2;     // share of the height above ground covered above and below it
  double min_depth = 0.5;         // points nearer to the camera than this (metres) are left out
  double max_depth_ratio = 10.0;  // and those farther than this many times their plane's drop

  // Throws std::invalid_argument for a grid below 4 x 3, a margin outside [0, 1) or depth
  // limits that leave no depth.
  void check() const;
};

struct SparsePoint {
  float x = 0.0f, y = 0.0f;  // key-point pixel position
  pi::Point3d world;         // the observed point, world coordinates
};

// Points of a frame whose camera sits `height` metres above flat ground, with the pose
// `world_from_camera` and local east-north-up axes `ecef_from_enu` at the camera. A ray
// that does not meet a plane in front of the camera within those limits adds no point
// for that plane.
std::vector<SparsePoint> sparseGroundPoints(const fw::Camera& camera, const SE3& world_from_camera,
                                            const fw::Matrix3& ecef_from_enu, double height,
                                            const SparsePointOptions& options);

// Members per corner stack so that each has at least (ground + corners * members) / 50
// neighbours.
int cornerStackSize(int ground_points, int corner_stacks);

}  // namespace sfm
