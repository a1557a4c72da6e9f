#pragma once

#include "stereo_sgm/src/matcher_config.h"

#include <opencv2/core.hpp>

// The front's fixed matching parameters, input checks and result layout, shared by the
// device front and its CPU twin.
namespace sgm_front {

// P1 10, P2 120, uniqueness 0.95, subpixel, 4 paths for a path count of 4 and 8 otherwise,
// largest left-right difference 1, symmetric census.
sgm::MatcherParameters frontParameters(int minDisparity, int pathCount);

// Throws std::logic_error unless both images are 8-bit single-channel of one size and the
// matcher accepts the configuration with every output fitting a signed 16-bit value.
void checkFrontPair(const cv::Mat& left, const cv::Mat& right, int disparitySize,
                    const sgm::MatcherParameters& p);

// The image itself when its rows are packed, else a packed copy.
cv::Mat continuousImage(const cv::Mat& image);

// One pair through a matcher made by make(width, height, disparitySize, parameters), which
// returns a pointer to an object with execute(left, right, dst) on packed host buffers.
template <typename Make>
cv::Mat matchPair(const cv::Mat& left, const cv::Mat& right, int disparitySize, int minDisparity,
                  int pathCount, Make make) {
  const sgm::MatcherParameters p = frontParameters(minDisparity, pathCount);
  checkFrontPair(left, right, disparitySize, p);
  auto matcher = make(left.cols, left.rows, disparitySize, p);
  const cv::Mat packed_left = continuousImage(left), packed_right = continuousImage(right);
  cv::Mat result(left.size(), CV_16SC1);  // freshly allocated: row step = width
  matcher->execute(packed_left.data, packed_right.data, result.data);
  return result;
}

}  // namespace sgm_front
