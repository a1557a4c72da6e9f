#include "src/TerrainFusion/src/point_text.h"

#include <cstdio>

namespace pi {

std::ostream& operator<<(std::ostream& out, const Point3d& p) {
  char text[128];
  std::snprintf(text, sizeof text, "%f %f %f", p.x, p.y, p.z);
  return out << text;
}

}  // namespace pi
