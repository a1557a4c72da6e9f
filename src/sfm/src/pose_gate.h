#pragma once

#include "refinement_block.h"
#include "refinement_options.h"

#include <Eigen/Core>

#include <array>
#include <string>
#include <vector>

// Whether an adjusted frame may go out with its refined pose. The adjustment may pull a frame
// anywhere its images fit, weak ones included; what goes out refined stays within reach of
// its GPS fix, near its recorded attitude, and apart from the frames around it.
namespace sfm {

// Short reasons a frame keeps its direct pose, as the run's summary groups them.
inline constexpr char kBeyondGpsReach[] = "moved beyond its GPS reach";
inline constexpr char kTurnedTooFar[] = "turned too far from its attitude";
inline constexpr char kTiltedTooFar[] = "tilted beyond its pitch and roll sigmas";
inline constexpr char kCollapsed[] = "collapsed onto another frame";

struct GateVerdict {
  const char* failure = nullptr;     // one of the reasons above; null when accepted
  std::string detail;                // with the figures, for the log
  const BlockFrame* near = nullptr;  // for a collapsed frame: the frame it collapsed onto

  bool accepted() const { return failure == nullptr; }
};

// `prior` is the frame's camera_from_local from its direct pose; `others` the placed frames
// it is compared with (itself among them is passed over); `gps_lever` the flight's
// (RefinementBlock::gps_lever). Checks, in order: every axis of where the pose, lever and drift
// put the fix within `max_gps_sigmas` of the fix's sigma, and the fix's whole error, drift
// included, within as many of its stated sigma, the turn from a recorded attitude within
// `max_turn`, pitch and roll each within four of their sigmas, and the distance to
// every other frame at least `min_distance_share` of their GPS distance.
GateVerdict gatePose(const BlockFrame& frame, const Eigen::Matrix3d& prior,
                     const std::vector<const BlockFrame*>& others, const RefinementOptions& options,
                     const std::array<double, 2>& gps_lever = {});

}  // namespace sfm
