#pragma once

#include "refinement_block.h"

#include <Eigen/Core>

#include <cmath>
#include <vector>

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

// Where the frame's centre is expected and how far off it may be (metres on each axis,
// local): its fix less the bias its neighbours show in theirs, and the fix's sigmas.
struct HeldCentre {
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  Eigen::Vector3d sigma = Eigen::Vector3d::Constant(HUGE_VAL);  // infinite: not held
};

// The pose of `frame` that puts the placed points of its tracks where its features see them,
// robust to mismatches (pixels of the features' copy: `max_error`), its centre held to
// `held`: the few points of a narrow overlap tell the turn well, but hardly a shift from a
// tilt. False when fewer than `least_inliers` points agree with one pose, or fewer than half
// of those it sees.
bool resectFrame(const RefinementBlock& block, const BlockFrame& frame, double max_error,
                 int least_inliers, const HeldCentre& held, Resection* out);

// Points the frame's features see, whatever placed them.
struct SeenPoints {
  std::vector<Eigen::Vector3d> points;  // local
  std::vector<int> features;            // the frame's feature seeing each
  // Per point, the line along which it may lie off, metres per sigma of its own uncertainty
  // (a point where a ray meets a surface told only roughly); zero, or none at all: it lies
  // where it is.
  std::vector<Eigen::Vector3d> along;
};

// The same from such points. The points that may lie off are adjusted with the pose, and
// left where it puts them. `agreeing`, when given, receives the indices of the points within
// `max_error` of where the pose first put them.
bool resectPoints(const RefinementBlock& block, const BlockFrame& frame, SeenPoints* seen,
                  double max_error, int least_inliers, const HeldCentre& held, Resection* out,
                  std::vector<int>* agreeing = nullptr);

}  // namespace sfm
