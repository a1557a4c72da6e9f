#pragma once

#include "values/point.h"

#include <ostream>

namespace pi {
// "x y z" with "%f" for each component, as the node's log lines show positions.
std::ostream& operator<<(std::ostream& out, const Point3d& p);
}  // namespace pi
