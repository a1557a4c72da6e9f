#include "src/TerrainFusion/src/height_outliers.h"

#include "src/TerrainFusion/src/tile_model.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using height_outliers::dropStrayHeights;
using height_outliers::kMinSharedCells;
using height_outliers::liftToStored;
using height_outliers::strayTolerance;
using tile_model::kNoHeight;

constexpr int kCells = 16;

cv::Mat heights(float value) { return cv::Mat(kCells, kCells, CV_32FC1, cv::Scalar(value)); }
cv::Mat fullWeight() { return cv::Mat(kCells * 4, kCells * 4, CV_8UC1, cv::Scalar(200)); }
uchar weightOfCell(const cv::Mat& weight, int r, int c) {
  double lo = 0, hi = 0;
  cv::minMaxLoc(weight(cv::Rect(c * 4, r * 4, 4, 4)), &lo, &hi);
  EXPECT_EQ(lo, hi) << "a cell's pixels go together";
  return static_cast<uchar>(hi);
}

// The stored ground at 100 m with a roof (110 m) over columns 8..11, a lone stored spike and
// a corner where nothing is stored yet; a frame that agrees within its precision everywhere
// but at its own spike and pit over level ground, and whose roof edge lies a cell off the
// stored one (near relief two views differ by what each sees: not judged).
TEST(HeightOutliers, StrayHeightsLeaveWhereHeightsAreStoredAndNowhereElse) {
  cv::Mat stored = heights(100.0f);
  stored(cv::Rect(8, 0, 4, kCells)).setTo(110.0f);
  stored.at<float>(12, 3) = 125.0f;               // a spike an earlier frame left
  stored(cv::Rect(0, 0, 3, 3)).setTo(kNoHeight);  // not seen before
  cv::Mat frame = heights(100.4f);
  frame(cv::Rect(7, 0, 4, kCells)).setTo(110.3f);  // its roof one cell further west
  frame.at<float>(4, 4) = 131.0f;                  // spike
  frame.at<float>(5, 15) = 82.0f;                  // pit
  frame.at<float>(12, 3) = 100.2f;                 // the ground under the stored spike
  frame.at<float>(0, 0) = 140.0f;                  // its own, where nothing is stored
  frame.at<float>(6, 6) = kNoHeight;
  cv::Mat weight = fullWeight();
  const cv::Mat before = frame.clone();

  EXPECT_EQ(dropStrayHeights(frame, weight, stored, 2.0f), 2);
  for (int r = 0; r < kCells; ++r) {
    for (int c = 0; c < kCells; ++c) {
      SCOPED_TRACE(testing::Message() << "cell " << r << "," << c);
      const bool stray = (r == 4 && c == 4) || (r == 5 && c == 15);
      if (stray) {
        EXPECT_EQ(frame.at<float>(r, c), kNoHeight);
        EXPECT_EQ(weightOfCell(weight, r, c), 0);
      } else {
        EXPECT_EQ(frame.at<float>(r, c), before.at<float>(r, c));
        EXPECT_EQ(weightOfCell(weight, r, c), 200);
      }
    }
  }

  // Over level ground a frame lifted 10 to 40 m (a wrong pose tilts its whole surface) keeps
  // only the cells nothing was stored in; without a known precision nothing is checked.
  stored(cv::Rect(8, 0, 4, kCells)).setTo(100.0f);
  stored.at<float>(12, 3) = 100.0f;
  cv::Mat lifted(kCells, kCells, CV_32FC1);
  for (int c = 0; c < kCells; ++c) lifted.col(c).setTo(110.0f + 2.0f * c);
  cv::Mat liftedWeight = fullWeight();
  cv::Mat unchecked = lifted.clone(), uncheckedWeight = liftedWeight.clone();
  EXPECT_EQ(dropStrayHeights(unchecked, uncheckedWeight, stored, 0.0f), 0);
  EXPECT_EQ(cv::norm(unchecked, lifted, cv::NORM_INF), 0.0);
  EXPECT_EQ(dropStrayHeights(lifted, liftedWeight, stored, 2.0f), kCells * kCells - 9);
  for (int r = 0; r < kCells; ++r) {
    for (int c = 0; c < kCells; ++c) {
      const bool nothingStored = r < 3 && c < 3;
      EXPECT_EQ(lifted.at<float>(r, c) != kNoHeight, nothingStored) << r << "," << c;
      EXPECT_EQ(weightOfCell(liftedWeight, r, c) != 0, nothingStored) << r << "," << c;
    }
  }
}

// Judged below a weight, a frame's heights of a lower rank (a pair's own, weighing less than
// dense ones) leave where they stray and its stronger ones stay, however far off.
TEST(HeightOutliers, OnlyCellsWeighingLessThanTheBarAreJudged) {
  const cv::Mat stored = heights(100.0f);
  cv::Mat frame = heights(100.3f);
  frame.at<float>(3, 3) = 130.0f;
  frame.at<float>(9, 9) = 130.0f;
  cv::Mat weight = fullWeight();
  weight(cv::Rect(9 * 4, 9 * 4, 4, 4)).setTo(100);
  weight.at<uchar>(9 * 4, 9 * 4 + 1) = 20;  // the cell's strongest pixel tells its rank
  EXPECT_EQ(dropStrayHeights(frame, weight, stored, 2.0f, 128), 1);
  EXPECT_EQ(frame.at<float>(3, 3), 130.0f);
  EXPECT_EQ(weightOfCell(weight, 3, 3), 200);
  EXPECT_EQ(frame.at<float>(9, 9), kNoHeight);
  EXPECT_EQ(weightOfCell(weight, 9, 9), 0);
}

TEST(HeightOutliers, ToleranceIsThreeErrorsOfTwoHeightsAndAtLeastACell) {
  EXPECT_EQ(strayTolerance(0.0, 0.5), 0.0f);  // unknown precision: no check
  EXPECT_EQ(strayTolerance(-1.0, 0.5), 0.0f);
  EXPECT_EQ(strayTolerance(std::nan(""), 0.5), 0.0f);
  EXPECT_NEAR(strayTolerance(0.5, 0.2), 3.0 * std::sqrt(2.0) * 0.5, 1e-5);
  EXPECT_NEAR(strayTolerance(0.1, 2.0), 2.0, 1e-6);
}

// Stored ground at 100 m over the top half; a frame over the whole raster, judged with a
// tolerance of 2 m. A frame its pose sank 3.5 m as a whole moves up by that, whatever its own
// slips; one sunk in part only (tilted, or a patch of its pair's slips), one sunk by ever more
// across it, one within the tolerance, and one that shares too few cells keep their level.
TEST(HeightOutliers, OnlyAFrameLiftedOrSunkAsAWholeMovesToTheStoredLevel) {
  constexpr float kTolerance = 2.0f;
  cv::Mat stored = heights(kNoHeight);
  stored(cv::Rect(0, 0, kCells, kCells / 2)).setTo(100.0f);

  cv::Mat sunk = heights(96.5f);
  sunk.at<float>(2, 2) = 120.0f;     // a spike of its own
  sunk.at<float>(12, 5) = 90.0f;     // and a pit where nothing is stored
  sunk.at<float>(3, 7) = kNoHeight;  // and a hole
  EXPECT_NEAR(liftToStored(sunk, stored, kTolerance), 3.5f, 1e-5);
  EXPECT_NEAR(liftToStored(heights(104.0f), stored, kTolerance), -4.0f, 1e-5);

  cv::Mat tilted = heights(100.0f), sunkAndTilted = heights(100.0f);
  for (int c = 0; c < kCells; ++c) {
    tilted.col(c).setTo(100.0f - 0.5f * float(c));
    sunkAndTilted.col(c).setTo(90.0f - float(c));
  }
  EXPECT_EQ(liftToStored(tilted, stored, kTolerance), 0.0f);
  EXPECT_EQ(liftToStored(sunkAndTilted, stored, kTolerance), 0.0f);
  cv::Mat patchOff = heights(100.0f);
  patchOff(cv::Rect(0, 0, 9, kCells / 2)).setTo(95.0f);  // 9 of 16 columns: a majority
  EXPECT_EQ(liftToStored(patchOff, stored, kTolerance), 0.0f);
  EXPECT_EQ(liftToStored(heights(98.5f), stored, kTolerance), 0.0f);

  cv::Mat fewShared = heights(kNoHeight);
  for (int i = 0; i + 1 < kMinSharedCells; ++i) fewShared.at<float>(i / kCells, i % kCells) = 90.0f;
  EXPECT_EQ(liftToStored(fewShared, stored, kTolerance), 0.0f);
  EXPECT_EQ(liftToStored(sunk, stored, 0.0f), 0.0f);  // unknown precision: never moved
}

}  // namespace
