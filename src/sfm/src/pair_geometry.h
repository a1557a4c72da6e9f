#pragma once

#include "frame_features.h"
#include "refinement_options.h"

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sfm {

// Two frames whose features agree with one relative pose: the verified matches and the
// motion from the essential matrix. Camera b sees a point X of camera a at
// b_from_a * X + t with |t| = 1; the baseline scale is unknown.
struct PairGeometry {
  std::vector<std::pair<int, int>> matches;  // feature indices in a and b
  Eigen::Matrix3d b_from_a = Eigen::Matrix3d::Identity();
  Eigen::Vector3d centre_b_in_a = Eigen::Vector3d::Zero();  // unit direction
  double parallax =
      0.0;  // median angle between matched rays once the views are turned alike, degrees
  // Where the ground the matches lie on shows in b from a: the homography of their pixels
  // (full images), fitted loosely as relief and lens bend the ground from a plane; none when
  // too few matches agree on one, and none for features without patches (nothing of theirs
  // is warped).
  std::optional<cv::Matx33d> ground;
  // Set when the matches agree but place neither frame from the other: the views lack the
  // parallax to tell the baseline (a small overlap, as a banked turn's frames or neighbouring
  // strips share, which a turn alone nearly explains), or fewer matches agree than a motion to
  // place a frame from needs, though at least half as many (a faint field's, a turn's). The
  // matches still tie the two frames through the points they see.
  bool ties_only = false;

  // How a small patch of a's image around `a_pixel` shows in b's (a step d in a shows as
  // warp * d in b): the ground homography's derivative there, which carries the turn about
  // the optical axis and the stretch of views tilted apart; without one, the turn alone.
  cv::Matx22f warpAt(const cv::Point2f& a_pixel) const;
};

// Where the recorded positions put b's centre from a's: the direction in a local frame whose
// third axis is up, and a's camera turned into that frame (`local_from_a`, from a's current
// pose). Over nearly level ground two motions fit the same matches (the true one and its
// mirror image, whose baseline points along the ground's normal); the recorded baseline tells
// them apart by its elevation, which a heading error does not change.
struct RecordedBaseline {
  Eigen::Matrix3d local_from_a = Eigen::Matrix3d::Identity();
  Eigen::Vector3d direction = Eigen::Vector3d::UnitX();  // unit
};

// Matches the features of two frames (ratio test, mutual best matches) and verifies them
// with the essential matrix under the calibration (`focal`, in the pixels the features were
// found in, turns the pixel threshold into normalised units). False, with the reason, when too few
// matches agree, the matches lie along a line, or the views lack parallax (same place, pure
// rotation); where the views lack parallax, or at least half the matches a motion needs agree,
// `geometry` holds the verified matches, `ties_only` set.
// With `a_in_b` (per feature of a, where the recorded poses put it in b's pixels; not finite
// where they cannot tell), a feature of a is looked for only within `radius` pixels of that
// place, and a feature of b only among the features of a expected near it.
// With `recorded`, of the motions that fit nearly as many matches (the essential matrix's and
// the decompositions of the matches' homography) the one whose baseline rises or falls as the
// recorded one does is taken.
bool relatePair(const FrameFeatures& a, const FrameFeatures& b, double focal,
                const RefinementOptions& options, PairGeometry* geometry, std::string* reason,
                const std::vector<cv::Point2f>* a_in_b = nullptr, double radius = 0.0,
                const RecordedBaseline* recorded = nullptr);

}  // namespace sfm
