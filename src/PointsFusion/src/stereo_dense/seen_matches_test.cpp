#include "src/PointsFusion/src/stereo_dense/seen_matches.h"

#include <gtest/gtest.h>

namespace {

using seen_matches::directionOf;
using seen_matches::unseenMatches;

TEST(SeenMatches, DropsDepthsWhoseGroundTheOtherViewDidNotSee) {
  // Reference on the left, ground at disparity 10; the other view saw nothing left of column
  // 5. Near that edge the matcher named 6 (a far depth) whose match stays inside: the ground
  // around tells it was not seen. 4 is a rejection and stays.
  cv::Mat disparity(12, 80, CV_32FC1, cv::Scalar(10.0f));
  disparity(cv::Rect(5, 0, 8, 12)).setTo(6.0f);
  disparity.at<float>(3, 2) = 4.0f;
  cv::Mat seen(disparity.size(), CV_8UC1, cv::Scalar(255));
  seen.colRange(0, 5).setTo(0);
  const cv::Mat unseen = unseenMatches(disparity, seen, directionOf(false, true), 5.0f, 4);
  cv::Mat expected(disparity.size(), CV_8UC1, cv::Scalar(0));
  expected.colRange(0, 15).setTo(255);
  expected.at<uchar>(3, 2) = 0;
  ASSERT_EQ(unseen.size(), disparity.size());
  EXPECT_EQ(cv::countNonZero(unseen != expected), 0);
  // Masks of another size judge nothing.
  EXPECT_TRUE(unseenMatches(disparity, seen.colRange(0, 40), directionOf(false, true), 5).empty());
  // Nor does a direction along both axes: a rectified pair's matches move along one.
  EXPECT_TRUE(unseenMatches(disparity, seen, seen_matches::MatchDirection{1, -1}, 5).empty());
}

TEST(SeenMatches, FollowsTheMatchingDirectionOfEachViewAndTurn) {
  // The other view saw only its rows and columns 0..29; pixels whose match at disparity 10 is
  // seen, and is not: 10 columns left or right, or (matched turned) 10 rows down or up.
  cv::Mat seen(40, 40, CV_8UC1, cv::Scalar(0));
  seen(cv::Rect(0, 0, 30, 30)).setTo(255);
  const struct {
    bool vertical, referenceLeft;
    cv::Point kept, dropped;
  } cases[] = {{false, true, {35, 5}, {5, 5}},
               {false, false, {15, 5}, {25, 5}},
               {true, true, {5, 15}, {5, 25}},
               {true, false, {5, 35}, {5, 5}}};
  for (const auto& k : cases) {
    cv::Mat disparity(seen.size(), CV_32FC1, cv::Scalar(0));
    disparity.at<float>(k.kept) = disparity.at<float>(k.dropped) = 10.0f;
    const cv::Mat unseen =
        unseenMatches(disparity, seen, directionOf(k.vertical, k.referenceLeft), 5.0f, 0);
    EXPECT_EQ(cv::countNonZero(unseen), 1) << k.vertical << k.referenceLeft;
    EXPECT_EQ(unseen.at<uchar>(k.dropped), 255) << k.vertical << k.referenceLeft;
  }
}

}  // namespace
