#pragma once

// Conversions between WGS-84 geodetic coordinates (degrees, metres above the ellipsoid)
// and earth-centred, earth-fixed (ECEF) coordinates in metres.

#include "framework/pose.h"
#include "values/point.h"

namespace fw {

// Degrees to radians as the dense node's map set-up and the terrain node take them:
// 3.1415925 / 180, not pi / 180. Their zoom choice and placement, and with them the
// products, rest on this factor, so it stays as it is.
constexpr double kRadiansPerDegreeShortPi = 3.1415925 / 180.0;

// The rotation whose columns are the east, north and up axes at a position (ecef_from_enu),
// from its latitude and longitude in radians.
Matrix3 ecefFromEnu(double latitudeRadians, double longitudeRadians);

// (latitude, longitude, height) -> ECEF (x, y, z).
pi::Point3d geodeticToECEF(double latitude, double longitude, double height);

// ECEF (x, y, z) -> (latitude, longitude, height), closed form without iteration.
pi::Point3d ecefToGeodetic(double x, double y, double z);

}  // namespace fw
