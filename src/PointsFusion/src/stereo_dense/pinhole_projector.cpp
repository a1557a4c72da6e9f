#include "src/PointsFusion/src/stereo_dense/pinhole_projector.h"

namespace PinholeProjector {

namespace {

Vec3 multiply(const double m[9], const Vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

}  // namespace

Vec3 unproject(double x, double y, double z, const double Kinv[9], const double R[9],
               const double t[3]) {
  const Vec3 ray = multiply(Kinv, {x, y, 1.0});
  const Vec3 c = {z * ray[0] - t[0], z * ray[1] - t[1], z * ray[2] - t[2]};
  return {R[0] * c[0] + R[3] * c[1] + R[6] * c[2], R[1] * c[0] + R[4] * c[1] + R[7] * c[2],
          R[2] * c[0] + R[5] * c[1] + R[8] * c[2]};
}

Vec3 project(const Vec3& X, const double K[9], const double R[9], const double t[3]) {
  const Vec3 c = multiply(R, X);
  return multiply(K, {c[0] + t[0], c[1] + t[1], c[2] + t[2]});
}

bool isInside(const cv::Mat& m, int row, int col) {
  return row >= 1 && row < m.rows - 1 && col >= 1 && col < m.cols - 1;
}

}  // namespace PinholeProjector
