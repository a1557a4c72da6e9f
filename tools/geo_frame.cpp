#include "geo_frame.h"

#include "framework/geodesy.h"
#include "framework/pose.h"

#include <algorithm>
#include <cmath>

namespace flight {
namespace {

constexpr double kDeg = M_PI / 180.0;

// The framework's elementary rotation as an OpenCV matrix.
cv::Matx33d matx(const fw::Matrix3& m) { return cv::Matx33d(m.data()); }

}  // namespace

cv::Vec3d ecefFromGeodetic(double latitude, double longitude, double height) {
  const pi::Point3d p = fw::geodeticToECEF(latitude, longitude, height);
  return {p.x, p.y, p.z};
}

cv::Vec3d geodeticFromEcef(const cv::Vec3d& ecef) {
  const pi::Point3d g = fw::ecefToGeodetic(ecef[0], ecef[1], ecef[2]);
  return {g.x, g.y, g.z};
}

cv::Matx33d ecefFromEnu(double latitude, double longitude) {
  const double phi = latitude * kDeg, lambda = longitude * kDeg;
  const double sp = std::sin(phi), cp = std::cos(phi), sl = std::sin(lambda), cl = std::cos(lambda);
  return {-sl, -sp * cl, cp * cl,  //
          cl,  -sp * sl, cp * sl,  //
          0.0, cp,       sp};
}

cv::Matx33d enuFromCamera(double pitch, double yaw, double roll) {
  const cv::Matx33d enu_from_ned(0, 1, 0, 1, 0, 0, 0, 0, -1);
  // Camera axes to the gimbal body: optical axis forward, x right, y down.
  const cv::Matx33d body_from_camera(0, 0, 1, 1, 0, 0, 0, 1, 0);
  return enu_from_ned * matx(fw::rotationAboutZ(yaw * kDeg)) *
         matx(fw::rotationAboutY(pitch * kDeg)) * matx(fw::rotationAboutX(roll * kDeg)) *
         body_from_camera;
}

cv::Vec3d gimbalAngles(const cv::Matx33d& enu_from_camera) {
  const cv::Matx33d enu_from_ned(0, 1, 0, 1, 0, 0, 0, 0, -1);
  const cv::Matx33d body_from_camera(0, 0, 1, 1, 0, 0, 0, 1, 0);
  // yaw-pitch-roll factors of the body (gimbal) rotation in north-east-down axes
  const cv::Matx33d m = enu_from_ned.t() * enu_from_camera * body_from_camera.t();
  const double pitch = std::asin(std::clamp(-m(2, 0), -1.0, 1.0));
  double yaw = 0.0, roll = 0.0;
  if (std::hypot(m(2, 1), m(2, 2)) > 1e-12) {
    yaw = std::atan2(m(1, 0), m(0, 0));
    roll = std::atan2(m(2, 1), m(2, 2));
  } else {  // looking straight down or up: yaw and roll turn the same axis, roll is taken 0
    yaw = std::atan2(-m(0, 1), m(1, 1));
  }
  return {pitch / kDeg, yaw / kDeg, roll / kDeg};
}

cv::Matx33d enuFromBodyCamera(double heading, double pitch, double roll) {
  const cv::Matx33d enu_from_ned(0, 1, 0, 1, 0, 0, 0, 0, -1);
  // Image x along the right wing, image y toward the tail, the optical axis down the body.
  const cv::Matx33d body_from_camera(0, -1, 0, 1, 0, 0, 0, 0, 1);
  return enu_from_ned * matx(fw::rotationAboutZ(heading * kDeg)) *
         matx(fw::rotationAboutY(pitch * kDeg)) * matx(fw::rotationAboutX(roll * kDeg)) *
         body_from_camera;
}

}  // namespace flight
