#pragma once

// Pinhole helpers of the per-pixel consistency test. Matrices are 3 x 3 doubles row by row;
// R and t map world to camera coordinates.

#include <opencv2/core.hpp>

#include <array>

namespace PinholeProjector {

using Vec3 = std::array<double, 3>;

// World point of pixel (x, y) at depth z: R^T (z Kinv (x, y, 1) - t).
Vec3 unproject(double x, double y, double z, const double Kinv[9], const double R[9],
               const double t[3]);
// Homogeneous pixel (u w, v w, w) of world point X: K (R X + t).
Vec3 project(const Vec3& X, const double K[9], const double R[9], const double t[3]);
// True when (row, col) lies at least one pixel inside every border of `m`.
bool isInside(const cv::Mat& m, int row, int col);

}  // namespace PinholeProjector
