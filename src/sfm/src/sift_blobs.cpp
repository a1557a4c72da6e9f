#include "sift_blobs.h"

#include <opencv2/features2d.hpp>

#include <algorithm>

namespace sfm {
namespace {

constexpr int kScaleLevels = 3;  // per octave

bool enough(const SiftBlobs& blobs, int count) {
  return static_cast<int>(blobs.keypoints.size()) >= count;
}

// SIFT's `count` strongest blobs above `contrast` (and the ones tied with the last), in the
// order SIFT leaves them.
SiftBlobs siftAbove(const cv::Mat& grey, int count, double contrast) {
  SiftBlobs blobs;
  cv::SIFT::create(count, kScaleLevels, contrast)
      ->detectAndCompute(grey, cv::noArray(), blobs.keypoints, blobs.descriptors);
  blobs.cleared_contrast = contrast;
  if (count > 0 && enough(blobs, count)) {
    float least = blobs.keypoints.front().response;
    for (const cv::KeyPoint& k : blobs.keypoints) least = std::min(least, k.response);
    blobs.cleared_contrast = std::max(contrast, kScaleLevels * double(least));
  }
  return blobs;
}

}  // namespace

SiftBlobs strongestSiftBlobs(const cv::Mat& grey, int count, double least_contrast,
                             double first_contrast, bool first_likely) {
  if (count <= 0 || !(first_contrast > least_contrast))
    return siftAbove(grey, count, least_contrast);
  if (first_likely) {
    SiftBlobs first = siftAbove(grey, count, first_contrast);
    return enough(first, count) ? first : siftAbove(grey, count, least_contrast);
  }
  SiftBlobs least = siftAbove(grey, count, least_contrast);
  // SIFT weighs a blob's contrast against its threshold in single precision: a blob that
  // cleared the first contrast to within that rounding is searched for again above it, and
  // that search tells.
  if (!enough(least, count) || least.cleared_contrast < first_contrast * (1.0 - 1e-6)) return least;
  SiftBlobs first = siftAbove(grey, count, first_contrast);
  return enough(first, count) ? first : least;
}

}  // namespace sfm
