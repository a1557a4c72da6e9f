#include "camera_intrinsics.h"

namespace sfm {

CameraIntrinsics CameraIntrinsics::fromCalibration(const std::vector<double>& p) {
  CameraIntrinsics c;
  c.calibration = p;
  c.refined = {p[2], p[4], p[5], p.size() >= 11 ? p[6] : 0.0, p.size() >= 11 ? p[7] : 0.0};
  c.aspect = p[3] / p[2];
  if (p.size() >= 11) {
    c.p1 = p[8];
    c.p2 = p[9];
    c.k3 = p[10];
  }
  return c;
}

std::vector<double> CameraIntrinsics::parameters() const {
  const double f = refined[0];
  return {calibration[0], calibration[1], f,  f * aspect, refined[1], refined[2],
          refined[3],     refined[4],     p1, p2,         k3};
}

std::array<double, 2> CameraIntrinsics::unproject(double u, double v) const {
  const double xd = (u - refined[1]) / refined[0], yd = (v - refined[2]) / (refined[0] * aspect);
  double x = xd, y = yd;
  // Fixed-point inversion of the distortion; converges for the mild lenses of survey cameras.
  for (int i = 0; i < 10; ++i) {
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (refined[3] + r2 * (refined[4] + r2 * k3));
    const double dx = 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
    const double dy = p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
    x = (xd - dx) / radial;
    y = (yd - dy) / radial;
  }
  return {x, y};
}

}  // namespace sfm
