#pragma once

// The WGS-84 ellipsoid, one set of values for every conversion of the system.
namespace fw::wgs84 {

constexpr double kA = 6378137.0;           // semi-major axis, metres
constexpr double kA2 = 40680631590769.0;   // kA squared
constexpr double kB2 = 40408299984659.16;  // semi-minor axis squared
constexpr double kE2 = 1.0 - kB2 / kA2;    // first eccentricity squared
constexpr double kEp2 = kA2 / kB2 - 1.0;   // second eccentricity squared
constexpr double kFlattening = 1.0 / 298.257223563;

}  // namespace fw::wgs84
