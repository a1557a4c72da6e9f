#pragma once

#include <opencv2/core.hpp>

#include <Eigen/Core>

#include <vector>

namespace sfm {

// Of the four motions an essential matrix holds (two turns, the baseline either way), the one
// that puts the most matches in front of both cameras: b sees a's point X at b_from_a * X + t,
// |t| = 1. A match counts when the nearest approach of its two rays lies in front of both
// cameras and nearer than kFarthestDepth baselines to each (farther, its depth is noise); on a
// tie the earlier motion of the order (turn 1, t), (turn 2, t), (turn 1, -t), (turn 2, -t) wins.
// This is OpenCV's recoverPose test with the depths along the rays solved in closed form instead of
// by a singular value decomposition per match and motion, which made up most of its cost.
struct EssentialMotion {
  Eigen::Matrix3d b_from_a = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  std::vector<char> in_front;  // per match
  int count = 0;               // of the matches in front
};

constexpr double kFarthestDepth = 50.0;  // baselines

// `e` is a 3 x 3 essential matrix (double), `pa` and `pb` the matches in normalised image
// coordinates of a and b, alike in number.
EssentialMotion motionInFront(const cv::Mat& e, const std::vector<cv::Point2d>& pa,
                              const std::vector<cv::Point2d>& pb);

}  // namespace sfm
