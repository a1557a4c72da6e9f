#include "descriptor_matching.h"

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>

#include <cmath>

namespace sfm {
namespace {

// The fast binary search must find what OpenCV's exhaustive matcher finds: the same two
// distances for every query, and the same nearest row wherever that row is unique.
TEST(DescriptorMatching, BinarySearchAgreesWithTheExhaustiveMatcher) {
  cv::RNG rng(7);
  cv::Mat train(300, 32, CV_8U), query(200, 32, CV_8U);
  rng.fill(train, cv::RNG::UNIFORM, 0, 256);
  rng.fill(query, cv::RNG::UNIFORM, 0, 256);
  train.row(5).copyTo(query.row(0));  // an exact match
  train.row(9).copyTo(train.row(10));
  train.row(9).copyTo(query.row(1));  // two equally near rows
  const std::vector<NearestTwo> fast = nearestTwo(query, train);
  std::vector<std::vector<cv::DMatch>> reference;
  cv::BFMatcher(cv::NORM_HAMMING).knnMatch(query, train, reference, 2);
  ASSERT_EQ(fast.size(), reference.size());
  for (size_t i = 0; i < fast.size(); ++i) {
    EXPECT_EQ(fast[i].best_distance, reference[i][0].distance) << i;
    EXPECT_EQ(fast[i].second_distance, reference[i][1].distance) << i;
    if (reference[i][0].distance < reference[i][1].distance) {
      EXPECT_EQ(fast[i].best, reference[i][0].trainIdx) << i;
    }
  }
  EXPECT_EQ(fast[0].best, 5);
  EXPECT_EQ(fast[1].second_distance, 0.0);
}

TEST(DescriptorMatching, OneTrainRowHasNoSecondAndNoTrainRowNoMatch) {
  cv::Mat train(1, 32, CV_8U, cv::Scalar(0)), query(2, 32, CV_8U, cv::Scalar(255));
  const std::vector<NearestTwo> one = nearestTwo(query, train);
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].best, 0);
  EXPECT_EQ(one[0].best_distance, 256.0);
  EXPECT_TRUE(std::isinf(one[0].second_distance));
  const std::vector<NearestTwo> none = nearestTwo(query, cv::Mat());
  ASSERT_EQ(none.size(), 2u);
  EXPECT_EQ(none[0].best, -1);
}

}  // namespace
}  // namespace sfm
