#pragma once

#include "framework/pose.h"
#include "values/point.h"

#include <array>
#include <vector>

// Oriented boxes of 3D Tiles: centre (x, y, z), then the three half-axis vectors.
using TileBox = std::array<double, 12>;
// A 4 x 4 transform in column-major order, as 3D Tiles stores "transform".
using TileMatrix = std::array<double, 16>;

// The axis-aligned box of the points, in double: centre halfway between the extremes and
// half-extents that reach the farther extreme, so rounding never leaves a point outside.
// The points must be finite and not empty.
TileBox localBox(const std::vector<pi::Point3_<float>>& points);

// [R t; 0 0 0 1] of a camera-to-world pose with unit quaternion, column-major.
TileMatrix poseToMatrix(const SE3& pose);

// The box carried by the pose (through poseToMatrix): centre R c + t, half-axes R a.
TileBox transformBox(const TileBox& box, const SE3& pose);

// True when every number is finite.
bool isFinite(const TileBox& box);
bool isFinite(const TileMatrix& matrix);
bool isFinite(const SE3& pose);
