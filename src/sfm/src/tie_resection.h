#pragma once

#include "frame_resection.h"
#include "refinement_block.h"

#include <Eigen/Core>

#include <string>
#include <vector>

// Placing a frame that only weak pairs tie to the block. Its few matches with a refined
// partner tell too little of the pair's motion to place it from (a furrowed field's repeat
// may pass for one), and the features they tie are seen by no other frame, so no point of
// theirs is triangulated. But the refined partner's rays through those features meet the
// ground, whose height the block's points around there tell: those ground points and the
// frame's own pixels give its pose, taken only when it is firm.
namespace sfm {

// What a pose from ties must show to be taken.
struct TieLimits {
  double max_error = 4.0;      // pixels of the features: a tie agreeing with a pose
  int least_inliers = 16;      // ties agreeing with one pose
  double least_spread = 0.1;   // share of the image the agreeing ties' hull covers
  double max_rms_error = 2.0;  // pixels of the features: of the agreeing ties, adjusted
  double reach_sigmas = 3.0;   // the centre within this many sigmas of where it is held
  double max_turn = 0.1;       // radians the pose may turn from the one expected
};

// The ground points the frame's tied features see, as the refined frames sharing their tracks
// see them. A triangulated track gives its point; otherwise the most downward ray of its
// refined frames is met with the surface the block's triangulated points tell near where it
// lands, and the point may lie off along that ray as far as those points' heights scatter. A
// ray that lands where too few points tell the surface gives none.
void groundTies(const RefinementBlock& block, const BlockFrame& frame, SeenPoints* ties);

// The frame's pose from its ground ties, held to `held`, each tie's point adjusted along its
// ray with it: false unless enough ties agree on it, spread over the image, fit it closely,
// and it lies within reach of `held` and turned from `expected` (camera_from_local) by no
// more than `limits` allow. `account` tells what the ties showed, empty when it has none.
bool resectFromTies(const RefinementBlock& block, const BlockFrame& frame, const HeldCentre& held,
                    const Eigen::Matrix3d& expected, const TieLimits& limits, Resection* out,
                    std::string* account);

}  // namespace sfm
