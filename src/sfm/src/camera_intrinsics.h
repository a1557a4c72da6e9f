#pragma once

#include "framework/camera.h"

#include <array>
#include <vector>

// The camera model of the refinement: the pinhole with radial (k1, k2, k3) and tangential
// (p1, p2) distortion of the frames' calibration. The bundle adjustment refines the block
// focal length, cx, cy, k1, k2 (fy keeps its ratio to fx; p1, p2, k3 stay as calibrated).
namespace sfm {

struct CameraIntrinsics {
  static constexpr int kRefined = 5;  // focal, cx, cy, k1, k2
  std::array<double, kRefined> refined{};
  double aspect = 1.0;  // fy / fx
  double p1 = 0.0, p2 = 0.0, k3 = 0.0;
  std::vector<double> calibration;  // the frames' parameter vector, as given

  // From a 6- or 11-entry parameter vector.
  static CameraIntrinsics fromCalibration(const std::vector<double>& parameters);
  // The parameter vector with the refined values (11 entries).
  std::vector<double> parameters() const;

  // Normalised image point (x / z, y / z) of a pixel, inverting the distortion.
  std::array<double, 2> unproject(double u, double v) const;
};

// Pixel of a camera-frame point for refined values `k` (focal, cx, cy, k1, k2).
template <typename T>
void projectToPixel(const T* k, const CameraIntrinsics& fixed, const T* camera_point, T* pixel) {
  const T x = camera_point[0] / camera_point[2], y = camera_point[1] / camera_point[2];
  const T r2 = x * x + y * y;
  const T radial = T(1.0) + r2 * (k[3] + r2 * (k[4] + r2 * fixed.k3));
  const T xd = x * radial + T(2.0 * fixed.p1) * x * y + T(fixed.p2) * (r2 + T(2.0) * x * x);
  const T yd = y * radial + T(fixed.p1) * (r2 + T(2.0) * y * y) + T(2.0 * fixed.p2) * x * y;
  pixel[0] = k[0] * xd + k[1];
  pixel[1] = k[0] * T(fixed.aspect) * yd + k[2];
}

}  // namespace sfm
