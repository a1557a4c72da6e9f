#include "src/PointsFusion/src/stereo_dense/seen_matches.h"

#include <gtest/gtest.h>

namespace {

using seen_matches::directionOf;
using seen_matches::unseenMatches;

constexpr float kGround = 10.0f;   // the ground's disparity
constexpr float kRejected = 4.0f;  // below the smallest disparity searched
constexpr float kSmallest = 5.0f;

// The other view sees everything but its first `hidden` columns.
cv::Mat seenFromColumn(cv::Size size, int hidden) {
  cv::Mat seen(size, CV_8UC1, cv::Scalar(255));
  seen.colRange(0, hidden).setTo(0);
  return seen;
}

TEST(SeenMatches, DropsDisparitiesWhoseGroundTheOtherViewDidNotSee) {
  // Reference on the left: its pixel's match lies d columns to the left. The other view saw
  // nothing left of column 5, so pixels left of column 15 have their ground out of its view.
  cv::Mat disparity(12, 80, CV_32FC1, cv::Scalar(kGround));
  // Near the edge of the overlap the matcher named too small a disparity (a far depth) whose
  // match stays inside the other view; the ground around tells it cannot be seen.
  disparity(cv::Rect(5, 0, 8, 12)).setTo(6.0f);
  disparity.at<float>(3, 2) = kRejected;  // rejections stay as they are
  const cv::Mat unseen = unseenMatches(disparity, seenFromColumn(disparity.size(), 5),
                                       directionOf(false, true), kSmallest, 4);
  ASSERT_EQ(unseen.size(), disparity.size());
  for (int r = 0; r < disparity.rows; ++r) {
    for (int c = 0; c < disparity.cols; ++c) {
      const bool kept = c >= 15 || disparity.at<float>(r, c) == kRejected;
      EXPECT_EQ(unseen.at<uchar>(r, c), kept ? 0 : 255) << "row " << r << " column " << c;
    }
  }
}

TEST(SeenMatches, FollowsTheMatchingDirectionOfEachViewAndTurn) {
  const cv::Size size(40, 40);
  // The other view saw only its rows 0..29 and columns 0..29 (the black of its rectification
  // below and right of that).
  cv::Mat seen(size, CV_8UC1, cv::Scalar(0));
  seen(cv::Rect(0, 0, 30, 30)).setTo(255);
  struct Case {
    bool vertical, referenceLeft;
    cv::Point kept, dropped;  // pixels whose match at disparity 10 is seen, and is not
  };
  const Case cases[] = {
      {false, true, {35, 5}, {5, 5}},    // match 10 columns left
      {false, false, {15, 5}, {25, 5}},  // match 10 columns right
      {true, true, {5, 15}, {5, 25}},    // matched turned: 10 rows down
      {true, false, {5, 35}, {5, 5}},    // 10 rows up
  };
  for (const Case& k : cases) {
    cv::Mat disparity(size, CV_32FC1, cv::Scalar(0));
    disparity.at<float>(k.kept) = kGround;
    disparity.at<float>(k.dropped) = kGround;
    const cv::Mat unseen =
        unseenMatches(disparity, seen, directionOf(k.vertical, k.referenceLeft), kSmallest, 0);
    EXPECT_EQ(cv::countNonZero(unseen), 1);
    EXPECT_EQ(unseen.at<uchar>(k.kept), 0) << k.vertical << k.referenceLeft;
    EXPECT_EQ(unseen.at<uchar>(k.dropped), 255) << k.vertical << k.referenceLeft;
  }
}

TEST(SeenMatches, JudgesNothingOnMasksOfAnotherSize) {
  const cv::Mat disparity(10, 10, CV_32FC1, cv::Scalar(kGround));
  EXPECT_TRUE(unseenMatches(disparity, cv::Mat(5, 5, CV_8UC1, cv::Scalar(0)),
                            directionOf(false, true), kSmallest)
                  .empty());
}

}  // namespace
