#pragma once

#include "frame_features.h"
#include "refinement_options.h"

#include <Eigen/Core>

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
};

// Matches the features of two frames (ratio test, mutual best matches) and verifies them
// with the essential matrix under the calibration (`focal`, in the pixels the features were
// found in, turns the pixel threshold into normalised units). False, with the reason, when too few
// matches agree, the matches lie along a line, or the views lack parallax (same place, pure
// rotation).
// With `a_in_b` (per feature of a, where the recorded poses put it in b's pixels; not finite
// where they cannot tell), a feature of a is looked for only within `radius` pixels of that
// place, and a feature of b only among the features of a expected near it.
bool relatePair(const FrameFeatures& a, const FrameFeatures& b, double focal,
                const RefinementOptions& options, PairGeometry* geometry, std::string* reason,
                const std::vector<cv::Point2f>* a_in_b = nullptr, double radius = 0.0);

}  // namespace sfm
