#include "direct_georeferencing.h"

#include "framework/angles.h"
#include "framework/geodesy.h"

#include <cmath>

namespace sfm {

fw::Matrix3 multiply(const fw::Matrix3& a, const fw::Matrix3& b) {
  fw::Matrix3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[r * 3 + c] += a[r * 3 + k] * b[k * 3 + c];
  return out;
}

fw::Matrix3 transpose(const fw::Matrix3& m) {
  return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]};
}

pi::Point3d rotate(const fw::Matrix3& m, const pi::Point3d& p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z, m[3] * p.x + m[4] * p.y + m[5] * p.z,
          m[6] * p.x + m[7] * p.y + m[8] * p.z};
}

fw::Matrix3 ecefFromEnu(double latitude, double longitude) {
  return fw::ecefFromEnu(latitude * fw::kRadiansPerDegree, longitude * fw::kRadiansPerDegree);
}

fw::Matrix3 enuFromCamera(const GimbalAngles& angles) {
  const fw::Matrix3 enu_from_ned{0, 1, 0, 1, 0, 0, 0, 0, -1};
  // The gimbal's body axes (x forward, y right, z down) carry the camera's z, x and y.
  const fw::Matrix3 body_from_camera{0, 0, 1, 1, 0, 0, 0, 1, 0};
  const fw::Matrix3 ned_from_body =
      multiply(multiply(fw::rotationAboutZ(angles.yaw * fw::kRadiansPerDegree),
                        fw::rotationAboutY(angles.pitch * fw::kRadiansPerDegree)),
               fw::rotationAboutX(angles.roll * fw::kRadiansPerDegree));
  return multiply(multiply(enu_from_ned, ned_from_body), body_from_camera);
}

SE3 worldFromCamera(double latitude, double longitude, double altitude,
                    const GimbalAngles& angles) {
  const fw::Matrix3 rotation = multiply(ecefFromEnu(latitude, longitude), enuFromCamera(angles));
  SE3 pose;
  fw::quaternionFromMatrix(rotation, pose.q);
  pose.t = fw::geodeticToECEF(latitude, longitude, altitude);
  return pose;
}

bool travelHeading(const pi::Point3d& from, const pi::Point3d& to, double latitude,
                   double longitude, double* yaw, double min_move) {
  const pi::Point3d move(to.x - from.x, to.y - from.y, to.z - from.z);
  const pi::Point3d enu = rotate(transpose(ecefFromEnu(latitude, longitude)), move);
  if (std::hypot(enu.x, enu.y) < min_move) return false;
  *yaw = std::atan2(enu.x, enu.y) / fw::kRadiansPerDegree;
  return true;
}

}  // namespace sfm
