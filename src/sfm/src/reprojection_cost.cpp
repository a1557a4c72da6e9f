#include "reprojection_cost.h"

#include <ceres/jet.h>
#include <ceres/rotation.h>

namespace sfm {

// Whole on purpose: the residual and its hand-written derivatives share every intermediate
// (the point in the camera, the distortion, the pixel by that point), and read side by side
// they can be checked against each other line by line.
bool ReprojectionCost::Evaluate(double const* const* parameters, double* residuals,
                                double** jacobians) const {
  const double* pose = parameters[0];
  const double* k = parameters[1];
  const double* point = parameters[2];
  using Jet3 = ceres::Jet<double, 3>;
  const bool wants_rotation = jacobians && jacobians[0];
  // The point in the camera, and its derivatives by the angle-axis when they are asked for.
  double p[3];
  double dp_drotation[3][3] = {};
  const double offset[3] = {point[0] - pose[3], point[1] - pose[4], point[2] - pose[5]};
  if (wants_rotation) {
    const Jet3 angle_axis[3] = {Jet3(pose[0], 0), Jet3(pose[1], 1), Jet3(pose[2], 2)};
    const Jet3 from[3] = {Jet3(offset[0]), Jet3(offset[1]), Jet3(offset[2])};
    Jet3 to[3];
    ceres::AngleAxisRotatePoint(angle_axis, from, to);
    for (int i = 0; i < 3; ++i) {
      p[i] = to[i].a;
      for (int j = 0; j < 3; ++j) dp_drotation[i][j] = to[i].v[j];
    }
  } else {
    ceres::AngleAxisRotatePoint(pose, offset, p);
  }
  if (!(p[2] > 1e-6)) return false;

  const CameraIntrinsics& c = *camera_;
  const double x = p[0] / p[2], y = p[1] / p[2];
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (k[3] + r2 * (k[4] + r2 * c.k3));
  const double xd = x * radial + 2.0 * c.p1 * x * y + c.p2 * (r2 + 2.0 * x * x);
  const double yd = y * radial + c.p1 * (r2 + 2.0 * y * y) + 2.0 * c.p2 * x * y;
  const double fy = k[0] * c.aspect;
  residuals[0] = k[0] * xd + k[1] - u_;
  residuals[1] = fy * yd + k[2] - v_;
  if (!jacobians) return true;

  if (jacobians[1]) {
    double* j = jacobians[1];  // by focal, cx, cy, k1, k2
    const double r4 = r2 * r2;
    j[0] = xd, j[1] = 1.0, j[2] = 0.0, j[3] = k[0] * x * r2, j[4] = k[0] * x * r4;
    j[5] = c.aspect * yd, j[6] = 0.0, j[7] = 1.0, j[8] = fy * y * r2, j[9] = fy * y * r4;
  }
  if (!jacobians[0] && !jacobians[2]) return true;
  // Pixel by the point in the camera: through the normalised point and the distortion.
  const double dradial = k[3] + r2 * (2.0 * k[4] + 3.0 * r2 * c.k3);  // by r2
  const double dxd_dx = radial + 2.0 * x * x * dradial + 2.0 * c.p1 * y + 6.0 * c.p2 * x;
  const double dxd_dy = 2.0 * x * y * dradial + 2.0 * c.p1 * x + 2.0 * c.p2 * y;
  const double dyd_dx = 2.0 * x * y * dradial + 2.0 * c.p1 * x + 2.0 * c.p2 * y;
  const double dyd_dy = radial + 2.0 * y * y * dradial + 6.0 * c.p1 * y + 2.0 * c.p2 * x;
  const double iz = 1.0 / p[2];
  // d(x, y) / dp = [[1/z, 0, -x/z], [0, 1/z, -y/z]]
  double dpixel_dp[2][3];
  const double a[2][2] = {{k[0] * dxd_dx, k[0] * dxd_dy}, {fy * dyd_dx, fy * dyd_dy}};
  for (int r = 0; r < 2; ++r) {
    dpixel_dp[r][0] = a[r][0] * iz;
    dpixel_dp[r][1] = a[r][1] * iz;
    dpixel_dp[r][2] = -(a[r][0] * x + a[r][1] * y) * iz;
  }
  // The point in the camera by the point: the rotation matrix.
  double rotation[9];  // row-major camera_from_local
  ceres::AngleAxisToRotationMatrix(pose, ceres::RowMajorAdapter3x3(rotation));
  double dpixel_dpoint[2][3];
  for (int r = 0; r < 2; ++r) {
    for (int col = 0; col < 3; ++col) {
      dpixel_dpoint[r][col] = dpixel_dp[r][0] * rotation[col] +
                              dpixel_dp[r][1] * rotation[3 + col] +
                              dpixel_dp[r][2] * rotation[6 + col];
    }
  }
  if (jacobians[2]) {
    for (int r = 0; r < 2; ++r)
      for (int col = 0; col < 3; ++col) jacobians[2][r * 3 + col] = dpixel_dpoint[r][col];
  }
  if (jacobians[0]) {
    double* j = jacobians[0];  // by the angle-axis, then the centre
    for (int r = 0; r < 2; ++r) {
      for (int col = 0; col < 3; ++col) {
        j[r * 6 + col] = dpixel_dp[r][0] * dp_drotation[0][col] +
                         dpixel_dp[r][1] * dp_drotation[1][col] +
                         dpixel_dp[r][2] * dp_drotation[2][col];
        j[r * 6 + 3 + col] = -dpixel_dpoint[r][col];
      }
    }
  }
  return true;
}

}  // namespace sfm
