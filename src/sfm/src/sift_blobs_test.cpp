#include "sift_blobs.h"

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <map>
#include <tuple>

namespace sfm {
namespace {

constexpr double kLeast = 0.02;

// Each blob (position, size, angle, response) with its descriptor.
std::map<std::tuple<float, float, float, float, float>, std::vector<float>> described(
    const std::vector<cv::KeyPoint>& keypoints, const cv::Mat& descriptors) {
  std::map<std::tuple<float, float, float, float, float>, std::vector<float>> out;
  for (size_t i = 0; i < keypoints.size(); ++i) {
    const cv::KeyPoint& k = keypoints[i];
    out[{k.pt.x, k.pt.y, k.size, k.angle, k.response}] = descriptors.row(int(i));
  }
  return out;
}

// The strongest blobs of blurred noise, strong on the left and faint on the right, are
// SIFT's own strongest with their descriptors, strongest first; the same blobs in the same
// order whatever contrast they are first looked for above (the one they cleared, one a
// little lower, one so high that too few pass), and all of them when fewer than asked for.
TEST(SiftBlobs, StrongestAreSiftsOwnFoundAlikeAboveAnyFirstContrast) {
  cv::Mat noise(300, 400, CV_32F), image;
  cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
  for (int x = 0; x < noise.cols; ++x) noise.col(x) *= 60.0 * (1.0 - 0.9 * x / noise.cols);
  noise.convertTo(image, CV_8U, 1.0, 128.0);
  constexpr int count = 150;
  const SiftBlobs plain = strongestSiftBlobs(image, count, kLeast, kLeast);
  ASSERT_GE(plain.keypoints.size(), size_t(count));
  for (size_t i = 1; i < plain.keypoints.size(); ++i)
    EXPECT_GE(plain.keypoints[i - 1].response, plain.keypoints[i].response) << i;
  std::vector<cv::KeyPoint> sift;
  cv::Mat descriptors;
  cv::SIFT::create(count, 3, kLeast)->detectAndCompute(image, cv::noArray(), sift, descriptors);
  EXPECT_EQ(described(plain.keypoints, plain.descriptors), described(sift, descriptors));

  EXPECT_GT(plain.cleared_contrast, kLeast);
  for (const double first :
       {plain.cleared_contrast, 0.9 * plain.cleared_contrast, 4.0 * plain.cleared_contrast}) {
    const SiftBlobs found = strongestSiftBlobs(image, count, kLeast, first);
    ASSERT_EQ(found.keypoints.size(), plain.keypoints.size()) << first;
    for (size_t i = 0; i < found.keypoints.size(); ++i)
      EXPECT_EQ(found.keypoints[i].pt, plain.keypoints[i].pt) << first << " " << i;
    EXPECT_EQ(cv::norm(found.descriptors, plain.descriptors, cv::NORM_INF), 0.0) << first;
  }

  const SiftBlobs all = strongestSiftBlobs(image, 100000, kLeast, 0.05);
  EXPECT_GT(all.keypoints.size(), plain.keypoints.size());
  EXPECT_EQ(all.cleared_contrast, kLeast);
  EXPECT_TRUE(strongestSiftBlobs(cv::Mat(200, 200, CV_8U, cv::Scalar(90)), count, kLeast, 0.05)
                  .keypoints.empty());
}

}  // namespace
}  // namespace sfm
