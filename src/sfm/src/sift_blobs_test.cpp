#include "sift_blobs.h"

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace sfm {
namespace {

constexpr double kLeast = 0.02;

// Blobs in the same order with the same descriptors as SIFT's own search above `contrast`.
void expectSiftAbove(const cv::Mat& image, int count, double contrast, const SiftBlobs& found) {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  cv::SIFT::create(count, 3, contrast)->detectAndCompute(image, {}, keypoints, descriptors);
  ASSERT_EQ(found.keypoints.size(), keypoints.size()) << contrast;
  for (size_t i = 0; i < keypoints.size(); ++i)
    EXPECT_EQ(found.keypoints[i].pt, keypoints[i].pt) << contrast << " " << i;
  EXPECT_EQ(cv::norm(found.descriptors, descriptors, cv::NORM_INF), 0.0) << contrast;
}

std::vector<std::pair<float, float>> placesOf(const SiftBlobs& blobs) {
  std::vector<std::pair<float, float>> places;
  for (const cv::KeyPoint& k : blobs.keypoints) places.emplace_back(k.pt.x, k.pt.y);
  std::sort(places.begin(), places.end());
  return places;
}

// Blurred noise strong on the left and faint on the right: where the first contrast leaves
// enough blobs they are the least's, as SIFT's search above it hands them on, whichever search is
// guessed first; where it leaves too few, or the image has fewer than the count, SIFT's search
// above the least.
TEST(SiftBlobs, OneResultPerImageWhicheverSearchGoesFirst) {
  cv::Mat noise(300, 400, CV_32F), image;
  cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
  for (int x = 0; x < noise.cols; ++x) noise.col(x) *= 60.0 * (1.0 - 0.9 * x / noise.cols);
  noise.convertTo(image, CV_8U, 1.0, 128.0);
  constexpr int count = 150;
  const SiftBlobs plain = strongestSiftBlobs(image, count, kLeast, kLeast, false);
  expectSiftAbove(image, count, kLeast, plain);
  ASSERT_GT(plain.cleared_contrast, 1.2 * kLeast);
  const double first = 0.9 * plain.cleared_contrast, too_high = 2.0 * plain.cleared_contrast;
  for (const bool first_likely : {true, false}) {
    const SiftBlobs found = strongestSiftBlobs(image, count, kLeast, first, first_likely);
    expectSiftAbove(image, count, first, found);
    EXPECT_GE(found.cleared_contrast, first);
    EXPECT_EQ(placesOf(found), placesOf(plain));  // the same blobs, in another order
    expectSiftAbove(image, count, kLeast,
                    strongestSiftBlobs(image, count, kLeast, too_high, first_likely));
  }
  const SiftBlobs all = strongestSiftBlobs(image, 100000, kLeast, 0.05, true);
  expectSiftAbove(image, 100000, kLeast, all);
  EXPECT_EQ(all.cleared_contrast, kLeast);
  EXPECT_TRUE(
      strongestSiftBlobs(cv::Mat(200, 200, CV_8U, cv::Scalar(90)), count, kLeast, 0.05, true)
          .keypoints.empty());
}

}  // namespace
}  // namespace sfm
