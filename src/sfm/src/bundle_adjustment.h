#pragma once

#include "refinement_block.h"
#include "refinement_options.h"

#include <cstdint>
#include <map>
#include <vector>

namespace sfm {

struct AdjustmentReport {
  int observations = 0;  // reprojection terms after outliers were dropped
  int outliers = 0;      // observations dropped
  double rms = 0.0;      // pixels of the features, over the kept observations
  // Per camera refined in the adjustment: the standard deviation of its focal length, as a
  // share of it (the calibration's prior included; infinite when the images do not tell it).
  std::map<int, double> focal_sigma;
};

// Bundle adjustment with Ceres Solver of the placed frames `free_frames`, the points of the
// longest tracks each of them sees (up to `points_per_frame`) and the shared cameras; other placed
// frames seeing those points hold still. Reprojection errors count through a robust loss, recorded
// positions through their sigmas and recorded attitudes through a robust loss. Observations left
// far off after a solve are dropped; when they were more than a few, the block is solved once more.
// On failure (a solve that does not give a usable solution, values that are not finite or a camera
// far from its calibration) the block is restored as it was and false is returned. `adjust_cameras`
// false holds the cameras as they are. Free cameras are tied to their calibration: the focal
// length loosely, the principal point and the distortion by a weak prior (a survey of a nearly
// flat scene cannot tell them from a bending of the whole block).
bool adjustBundle(RefinementBlock& block, const std::vector<uint64_t>& free_frames,
                  const RefinementOptions& options, bool adjust_cameras, AdjustmentReport* report);

}  // namespace sfm
