#pragma once

#include "refinement_block.h"

#include <Eigen/Core>

// Placing a frame from the block's points it sees. Relating a frame with one partner gives
// the direction of the step between them, which is poorly told where the two views turn
// much and overlap little (a banked turn): the frame starts metres off, its rays miss the
// points they share with the partner by more than triangulation accepts, none of its tracks
// is placed and the adjustment never moves it. The points its partners already placed tell
// its whole pose at once.
namespace sfm {

struct Resection {
  Eigen::Matrix3d camera_from_local = Eigen::Matrix3d::Identity();
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  int points = 0;   // placed points the frame's features see
  int inliers = 0;  // of them, within `max_error` of where the pose puts them
};

// The pose of `frame` that puts the placed points of its tracks where its features see them,
// robust to mismatches (pixels of the features' copy: `max_error`). False when fewer than
// `least_inliers` points agree with one pose, or fewer than half of those it sees.
bool resectFrame(const RefinementBlock& block, const BlockFrame& frame, double max_error,
                 int least_inliers, Resection* out);

}  // namespace sfm
