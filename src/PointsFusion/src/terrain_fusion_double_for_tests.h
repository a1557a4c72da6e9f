#pragma once

// The terrain-fusion factory of the dense fusion tests: by choice it gives a node that
// records the configuration it was built from and every point cloud and frame it is sent,
// gives no node, or throws.

#include "values/point.h"

#include <cstdint>
#include <string>
#include <vector>

namespace terrain_double {

enum class Mode { kRecordingNode, kNoNode, kThrows };

struct PointCloud {
  uint64_t frameId = 0;
  std::vector<pi::Point3d> world;  // every dense point, those only its own pair confirmed too
};

// One frame taken in: by its dense points ("point_cloud") or by its sparse points (the
// frame route, `fuseFrame`).
struct Intake {
  uint64_t frameId = 0;
  bool sparse = false;
  bool operator==(const Intake& o) const { return frameId == o.frameId && sparse == o.sparse; }
};

// Forgets everything received and sets how the factory answers from now on.
void reset(Mode mode = Mode::kRecordingNode);
// The "legacy_tf" texts the factory was called with, in order.
std::vector<std::string> configurations();
// The point clouds sent by "point_cloud", in order.
std::vector<PointCloud> pointClouds();
// Every frame taken in, by either route, in order.
std::vector<Intake> intake();

}  // namespace terrain_double
