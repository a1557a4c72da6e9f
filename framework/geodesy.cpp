#include "framework/geodesy.h"

#include "framework/wgs84.h"

#include <cmath>

namespace fw {

Matrix3 ecefFromEnu(double latitudeRadians, double longitudeRadians) {
  const double sp = std::sin(latitudeRadians), cp = std::cos(latitudeRadians);
  const double sl = std::sin(longitudeRadians), cl = std::cos(longitudeRadians);
  return {-sl, -sp * cl, cp * cl,  //
          cl,  -sp * sl, cp * sl,  //
          0.0, cp,       sp};
}

pi::Point3d geodeticToECEF(double latitude, double longitude, double height) {
  constexpr double a2 = wgs84::kA2;
  constexpr double b2 = wgs84::kB2;
  const double phi = latitude * kRadiansPerDegree;
  const double lambda = longitude * kRadiansPerDegree;
  const double c = std::cos(phi);
  const double s = std::sin(phi);
  const double k = 1.0 / std::sqrt(c * c * a2 + s * s * b2);
  return {(a2 * k + height) * c * std::cos(lambda), (a2 * k + height) * c * std::sin(lambda),
          (b2 * k + height) * s};
}

pi::Point3d ecefToGeodetic(double x, double y, double z) {
  constexpr double a = wgs84::kA;
  constexpr double e2 = wgs84::kE2;
  constexpr double ep2 = wgs84::kEp2;
  constexpr double aE2 = a * e2;
  static const double b = std::sqrt(wgs84::kB2);
  const double p = std::sqrt(x * x + y * y);
  const double theta = std::atan2(z * a, p * b);
  const double st = std::sin(theta), ct = std::cos(theta);
  const double latitude = std::atan2(z + ep2 * b * st * st * st, p - aE2 * ct * ct * ct);
  const double longitude = std::atan2(y, x);
  // Height as the distance along the normal: p cos(lat) + z sin(lat) - a sqrt(1 - e² sin²(lat)).
  // Unlike p / cos(lat) - N this stays exact near the poles, where cos(lat) goes to 0.
  const double sl = std::sin(latitude), cl = std::cos(latitude);
  const double height = p * cl + z * sl - a * std::sqrt(1.0 - e2 * sl * sl);
  return {latitude * kDegreesPerRadian, longitude * kDegreesPerRadian, height};
}

}  // namespace fw
