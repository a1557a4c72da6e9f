#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace sfm {

// SIFT blobs of an image with their descriptors (one row each), in the order SIFT hands them
// on.
struct SiftBlobs {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  // The least contrast among them, as SIFT's threshold is stated (a blob's contrast times the
  // scale levels); the least contrast searched above when fewer than the count were found.
  double cleared_contrast = 0.0;
};

// The `count` SIFT blobs of an 8-bit grey image of highest contrast above `least_contrast`
// (and those tied with the last one): as SIFT's search above `first_contrast` hands them on
// when that one finds `count` blobs, and as its search above the least one does otherwise.
// Both give the same blobs when the first finds enough (its blobs are among the least one's),
// but SIFT hands them on in an order that depends on all it found; the rule above makes the
// order one of the image alone. The search above the first contrast spends less time on faint
// blobs that would only be dropped for the strongest. `first_likely` says which search to make
// first, as a guess (the result is the same either way): a search that finds too few, or
// blobs all above the first contrast, is followed by the other one.
SiftBlobs strongestSiftBlobs(const cv::Mat& grey, int count, double least_contrast,
                             double first_contrast, bool first_likely);

}  // namespace sfm
