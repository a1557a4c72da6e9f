#include "framework/china_offsets.h"

#include "framework/angles.h"

#include <cmath>

namespace fw {

namespace {

bool insideGcj02Box(double lat, double lng) {
  return lng >= 72.004 && lng <= 137.8347 && lat >= 0.8293 && lat <= 55.8271;
}

// The offset (dLat, dLng) in degrees at (lat, lng).
LatLngOffset gcj02Delta(double lat, double lng) {
  const double x = lng - 105.0, y = lat - 35.0;
  const double wave = (20.0 * std::sin(6.0 * kPi * x) + 20.0 * std::sin(2.0 * kPi * x)) * 2.0 / 3.0;
  double dLat = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y +
                0.2 * std::sqrt(std::fabs(x)) + wave +
                (20.0 * std::sin(kPi * y) + 40.0 * std::sin(kPi * y / 3.0)) * 2.0 / 3.0 +
                (160.0 * std::sin(kPi * y / 12.0) + 320.0 * std::sin(kPi * y / 30.0)) * 2.0 / 3.0;
  double dLng = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x)) +
                wave + (20.0 * std::sin(kPi * x) + 40.0 * std::sin(kPi * x / 3.0)) * 2.0 / 3.0 +
                (150.0 * std::sin(kPi * x / 12.0) + 300.0 * std::sin(kPi * x / 30.0)) * 2.0 / 3.0;
  const double phi = lat * kPi / 180.0;
  const double s = std::sin(phi);
  const double m = 1.0 - 0.006693421622965943 * s * s;
  const double sqrtM = std::sqrt(m);
  dLat = dLat * 180.0 / ((6335552.717000426 / (m * sqrtM)) * kPi);
  dLng = dLng * 180.0 / ((6378245.0 / sqrtM) * std::cos(phi) * kPi);
  return {dLat, dLng};
}

}  // namespace

LatLngOffset gcj02FromWgs84(double lat, double lng) {
  if (!insideGcj02Box(lat, lng)) return {lat, lng};
  const LatLngOffset d = gcj02Delta(lat, lng);
  return {lat + d.lat, lng + d.lng};
}

LatLngOffset wgs84FromGcj02(double lat, double lng) {
  if (!insideGcj02Box(lat, lng)) return {lat, lng};
  const LatLngOffset d = gcj02Delta(lat, lng);
  return {lat - d.lat, lng - d.lng};
}

LatLngOffset bd09FromGcj02(double lat, double lng) {
  const double x = lng, y = lat;
  const double z = std::sqrt(x * x + y * y) + 0.00002 * std::sin(y * kPi);
  const double theta = std::atan2(y, x) + 0.000003 * std::cos(x * kPi);
  return {z * std::sin(theta) + 0.006, z * std::cos(theta) + 0.0065};
}

LatLngOffset gcj02FromBd09(double lat, double lng) {
  const double x = lng - 0.0065, y = lat - 0.006;
  const double z = std::sqrt(x * x + y * y) - 0.00002 * std::sin(y * kPi);
  const double theta = std::atan2(y, x) - 0.000003 * std::cos(x * kPi);
  return {z * std::sin(theta), z * std::cos(theta)};
}

}  // namespace fw
