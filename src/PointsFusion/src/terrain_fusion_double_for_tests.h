#pragma once

// The terrain-fusion factory of the dense fusion tests: by choice it gives a node that
// records the configuration it was built from and every point cloud it is sent, gives no
// node, or throws.

#include "values/point.h"

#include <cstdint>
#include <string>
#include <vector>

namespace terrain_double {

enum class Mode { kRecordingNode, kNoNode, kThrows };

struct PointCloud {
  uint64_t frameId = 0;
  std::vector<pi::Point3d> world;
};

// Forgets everything received and sets how the factory answers from now on.
void reset(Mode mode = Mode::kRecordingNode);
// The "legacy_tf" texts the factory was called with, in order.
std::vector<std::string> configurations();
// The point clouds sent by "point_cloud", in order.
std::vector<PointCloud> pointClouds();

}  // namespace terrain_double
