#pragma once

// Conversions between WGS-84 geodetic coordinates (degrees, metres above the ellipsoid)
// and earth-centred, earth-fixed (ECEF) coordinates in metres.

#include "values/point.h"

namespace fw {

// (latitude, longitude, height) -> ECEF (x, y, z).
pi::Point3d geodeticToECEF(double latitude, double longitude, double height);

// ECEF (x, y, z) -> (latitude, longitude, height), closed form without iteration.
pi::Point3d ecefToGeodetic(double x, double y, double z);

}  // namespace fw
