#pragma once

// The level of the ground below a camera, from the heights of the points it sees in a local
// frame whose origin is the camera: the rule the flight-height estimates of the dense node's
// map set-up and of the terrain node share.

#include <cstddef>
#include <optional>
#include <vector>

struct GroundLevel {
  double offset = 0.0;     // the ground's height in the local frame (negative below the camera)
  size_t count = 0;        // how many heights were averaged
  bool clustered = false;  // whether the heights formed a cluster (else all were averaged)
};

// Heights within this many metres of each other join a cluster, which needs at least
// kGroundClusterMinPoints of them.
constexpr double kGroundClusterEps = 10.0;
constexpr int kGroundClusterMinPoints = 5;

// The mean of the largest cluster of heights (the first of equal size), or of all heights
// when none forms: a few points on roofs or trees do not lift the ground. None without heights.
std::optional<GroundLevel> groundLevel(const std::vector<double>& heights);
