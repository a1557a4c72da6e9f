#include "camera_intrinsics.h"

#include "framework/camera_parameters.h"

namespace sfm {

CameraIntrinsics CameraIntrinsics::fromCalibration(const std::vector<double>& p) {
  const fw::CameraParameters given = fw::CameraParameters::decode(p);
  const std::vector<double>& d = given.distortion;
  const bool radial = d.size() >= 5;  // k1, k2, p1, p2, k3
  CameraIntrinsics c;
  c.calibration = p;
  c.refined = {given.fx, given.cx, given.cy, radial ? d[0] : 0.0, radial ? d[1] : 0.0};
  c.aspect = given.fy / given.fx;
  if (radial) {
    c.p1 = d[2];
    c.p2 = d[3];
    c.k3 = d[4];
  }
  return c;
}

std::vector<double> CameraIntrinsics::parameters() const {
  fw::CameraParameters out = fw::CameraParameters::decode(calibration);
  out.model = fw::CameraModel::kOpenCV;
  out.fx = refined[0];
  out.fy = refined[0] * aspect;
  out.cx = refined[1];
  out.cy = refined[2];
  out.distortion = {refined[3], refined[4], p1, p2, k3};
  return out.encode();
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
