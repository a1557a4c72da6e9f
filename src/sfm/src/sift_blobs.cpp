#include "sift_blobs.h"

#include <opencv2/features2d.hpp>

#include <algorithm>
#include <numeric>
#include <tuple>

namespace sfm {
namespace {

constexpr int kScaleLevels = 3;  // per octave

// SIFT's blobs above `contrast`: its `count` strongest (and the ones tied with the last),
// in the order SIFT leaves them.
SiftBlobs siftAbove(const cv::Mat& grey, int count, double contrast) {
  SiftBlobs blobs;
  cv::SIFT::create(count, kScaleLevels, contrast)
      ->detectAndCompute(grey, cv::noArray(), blobs.keypoints, blobs.descriptors);
  return blobs;
}

// Strongest first, ties by position, size and angle: an order of the blobs alone, not of the
// search that found them.
void sortStrongestFirst(SiftBlobs& blobs) {
  const std::vector<cv::KeyPoint>& k = blobs.keypoints;
  std::vector<int> order(k.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    return std::make_tuple(-k[a].response, k[a].pt.y, k[a].pt.x, k[a].size, k[a].angle,
                           k[a].octave) < std::make_tuple(-k[b].response, k[b].pt.y, k[b].pt.x,
                                                          k[b].size, k[b].angle, k[b].octave);
  });
  std::vector<cv::KeyPoint> keypoints;
  keypoints.reserve(k.size());
  cv::Mat descriptors(blobs.descriptors.rows, blobs.descriptors.cols, blobs.descriptors.type());
  for (size_t i = 0; i < order.size(); ++i) {
    keypoints.push_back(k[order[i]]);
    if (!blobs.descriptors.empty())
      blobs.descriptors.row(order[i]).copyTo(descriptors.row(static_cast<int>(i)));
  }
  blobs.keypoints = std::move(keypoints);
  blobs.descriptors = descriptors;
}

}  // namespace

SiftBlobs strongestSiftBlobs(const cv::Mat& grey, int count, double least_contrast,
                             double first_contrast) {
  SiftBlobs blobs;
  // SIFT keeps a blob whose contrast times its scale levels reaches the threshold, so the
  // blobs above a higher one are among the least one's, and the strongest `count` of them
  // are the strongest of all when there are that many.
  if (count > 0 && first_contrast > least_contrast) blobs = siftAbove(grey, count, first_contrast);
  if (count <= 0 || static_cast<int>(blobs.keypoints.size()) < count)
    blobs = siftAbove(grey, count, least_contrast);
  sortStrongestFirst(blobs);
  blobs.cleared_contrast =
      count > 0 && static_cast<int>(blobs.keypoints.size()) >= count
          ? std::max(least_contrast, kScaleLevels * double(blobs.keypoints.back().response))
          : least_contrast;
  return blobs;
}

}  // namespace sfm
