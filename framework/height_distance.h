#pragma once

#include "values/point.h"

#include <cmath>

namespace fw {

// Distance of two points by height alone, |a.z - b.z|: the dense point fusion and the
// terrain fusion compare points by it.
inline double heightDistance(const pi::Point3d& a, const pi::Point3d& b) {
  return std::fabs(a.z - b.z);
}

}  // namespace fw
