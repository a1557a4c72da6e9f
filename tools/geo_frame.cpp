#include "geo_frame.h"

#include <cmath>

namespace flight {
namespace {

constexpr double kA = 6378137.0;
constexpr double kF = 1.0 / 298.257223563;
constexpr double kE2 = kF * (2.0 - kF);
constexpr double kDeg = M_PI / 180.0;

cv::Matx33d rotZ(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}
cv::Matx33d rotY(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {c, 0, s, 0, 1, 0, -s, 0, c};
}
cv::Matx33d rotX(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {1, 0, 0, 0, c, -s, 0, s, c};
}

}  // namespace

cv::Vec3d ecefFromGeodetic(double latitude, double longitude, double height) {
  const double phi = latitude * kDeg, lambda = longitude * kDeg;
  const double n = kA / std::sqrt(1.0 - kE2 * std::sin(phi) * std::sin(phi));
  return {(n + height) * std::cos(phi) * std::cos(lambda), (n + height) * std::cos(phi) * std::sin(lambda),
          (n * (1.0 - kE2) + height) * std::sin(phi)};
}

cv::Vec3d geodeticFromEcef(const cv::Vec3d& ecef) {
  const double p = std::hypot(ecef[0], ecef[1]);
  const double lambda = std::atan2(ecef[1], ecef[0]);
  double phi = std::atan2(ecef[2], p * (1.0 - kE2));
  double height = 0.0;
  // Fixed-point iteration converges to well below a millimetre at survey heights.
  for (int i = 0; i < 10; ++i) {
    const double s = std::sin(phi);
    const double n = kA / std::sqrt(1.0 - kE2 * s * s);
    height = p * std::cos(phi) + ecef[2] * s - kA * kA / n;
    phi = std::atan2(ecef[2], p * (1.0 - kE2 * n / (n + height)));
  }
  return {phi / kDeg, lambda / kDeg, height};
}

cv::Matx33d ecefFromEnu(double latitude, double longitude) {
  const double phi = latitude * kDeg, lambda = longitude * kDeg;
  const double sp = std::sin(phi), cp = std::cos(phi), sl = std::sin(lambda), cl = std::cos(lambda);
  return {-sl, -sp * cl, cp * cl,  //
          cl, -sp * sl, cp * sl,   //
          0.0, cp, sp};
}

cv::Matx33d enuFromCamera(double pitch, double yaw, double roll) {
  const cv::Matx33d enu_from_ned(0, 1, 0, 1, 0, 0, 0, 0, -1);
  // Camera axes to the gimbal body: optical axis forward, x right, y down.
  const cv::Matx33d body_from_camera(0, 0, 1, 1, 0, 0, 0, 1, 0);
  return enu_from_ned * rotZ(yaw * kDeg) * rotY(pitch * kDeg) * rotX(roll * kDeg) * body_from_camera;
}

}  // namespace flight
