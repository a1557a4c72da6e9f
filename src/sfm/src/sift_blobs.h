#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace sfm {

// The strongest SIFT blobs of an image and their descriptors (one row each).
struct SiftBlobs {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  // The highest contrast threshold that still finds all of them (each blob's contrast over
  // the scale levels, as SIFT's threshold is stated); the least contrast when fewer than the
  // count asked for were found.
  double cleared_contrast = 0.0;
};

// The `count` SIFT blobs of an 8-bit grey image of highest contrast, all of them above
// `least_contrast` (those tied with the last one too), strongest first (ties by position,
// size and angle): the same blobs and the same order whatever `first_contrast` is.
// SIFT spends much of its time on the faint blobs it finds and orients only to drop them
// for the strongest: when `first_contrast` (above the least) leaves `count` blobs or more,
// those are the strongest ones, found for that less time; when it leaves fewer, they are
// searched for again above the least contrast.
SiftBlobs strongestSiftBlobs(const cv::Mat& grey, int count, double least_contrast,
                             double first_contrast);

}  // namespace sfm
