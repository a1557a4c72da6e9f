#pragma once

// The circle constant and the factors between degrees and radians that every angle
// conversion in the system uses.

namespace fw {

// Pi to double precision (the same double as M_PI).
constexpr double kPi = 3.14159265358979323846;
constexpr double kRadiansPerDegree = kPi / 180.0;
constexpr double kDegreesPerRadian = 180.0 / kPi;

// Degrees to radians as the dense node's map set-up and the terrain node take them:
// 3.1415925 / 180, not pi / 180. Their zoom choice and placement, and with them the
// products, rest on this factor, so it stays as it is.
constexpr double kRadiansPerDegreeShortPi = 3.1415925 / 180.0;

}  // namespace fw
