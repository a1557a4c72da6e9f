#pragma once

// Conversions between WGS-84 geodetic coordinates (degrees, metres above the ellipsoid)
// and earth-centred, earth-fixed (ECEF) coordinates in metres.

// Callers turn degrees into the radians ecefFromEnu takes with the factors of angles.h.
#include "framework/angles.h"
#include "framework/pose.h"
#include "values/point.h"

namespace fw {

// The rotation whose columns are the east, north and up axes at a position (ecef_from_enu),
// from its latitude and longitude in radians.
Matrix3 ecefFromEnu(double latitudeRadians, double longitudeRadians);

// (latitude, longitude, height) -> ECEF (x, y, z).
pi::Point3d geodeticToECEF(double latitude, double longitude, double height);

// ECEF (x, y, z) -> (latitude, longitude, height), closed form without iteration.
pi::Point3d ecefToGeodetic(double x, double y, double z);

}  // namespace fw
