#include "src/TerrainFusion/src/level_gaps.h"

#include "src/TerrainFusion/src/tile_model.h"

#include <gtest/gtest.h>

namespace {

using level_gaps::fillLevelGaps;
using level_gaps::kReach;
using tile_model::kNoHeight;

constexpr int kSeamCells = 40;

cv::Mat emptyCells() { return cv::Mat(kSeamCells, kSeamCells, CV_32FC1, cv::Scalar(kNoHeight)); }

// A frame whose heights stop at column 10 beside stored ground from column 14 on: the seam
// between them takes the nearest height, the frame's own or a stored one, and so does a hole in
// the stored ground. Beside a roof, where the frame saw nothing, and where a height is stored
// the frame's cells stay empty; its own heights stay as they are.
TEST(LevelGaps, GapsBetweenLevelHeightsTakeTheNearestAndNoOthers) {
  cv::Mat frame = emptyCells();
  frame(cv::Rect(0, 0, 10, kSeamCells)).setTo(100.0f);
  frame.at<float>(2, 2) = 100.4f;
  cv::Mat stored = emptyCells();
  stored(cv::Rect(14, 0, 26, kSeamCells)).setTo(100.6f);
  stored(cv::Rect(14, 22, 4, 4)).setTo(108.0f);  // a roof by the seam
  stored(cv::Rect(0, 0, 3, 3)).setTo(99.0f);     // under the frame's own heights
  stored.at<float>(10, 30) = kNoHeight;          // a hole in the stored ground
  cv::Mat weight(kSeamCells * 4, kSeamCells * 4, CV_8UC1, cv::Scalar(90));
  weight(cv::Rect(0, 4 * 36, kSeamCells * 4, 4 * 4)).setTo(0);  // rows 36..39 not seen
  weight.at<uchar>(4 * 37 + 3, 4 * 11) = 7;                     // but for a pixel of cell (37, 11)
  const cv::Mat given = frame.clone();

  cv::Mat marked;
  const int filled = fillLevelGaps(frame, weight, stored, marked);
  ASSERT_EQ(marked.size(), frame.size());
  int expected = 0;
  for (int r = 0; r < kSeamCells; ++r) {
    for (int c = 0; c < kSeamCells; ++c) {
      const float got = frame.at<float>(r, c);
      if (c < 10) {
        EXPECT_EQ(got, given.at<float>(r, c)) << r << "," << c;
        continue;
      }
      const bool seen = r < 36 || (r == 37 && c == 11);
      const bool nearRoof = r >= 22 - kReach && r < 26 + kReach;
      const bool seam = c < 14 && seen && !nearRoof;
      if (seam || (r == 10 && c == 30)) {
        ++expected;
        EXPECT_EQ(got, c <= 11 ? 100.0f : 100.6f) << r << "," << c;
        EXPECT_NE(marked.at<uchar>(r, c), 0);
      } else {
        EXPECT_EQ(got, kNoHeight) << r << "," << c;
        EXPECT_EQ(marked.at<uchar>(r, c), 0);
      }
    }
  }
  EXPECT_EQ(filled, expected);

  // Nothing known or stored, or rasters that do not fit: nothing filled.
  cv::Mat empty = emptyCells();
  EXPECT_EQ(fillLevelGaps(empty, weight, emptyCells(), marked), 0);
  EXPECT_TRUE(marked.empty());
  EXPECT_EQ(fillLevelGaps(frame, weight(cv::Rect(0, 0, 40, 40)), stored, marked), 0);
}

}  // namespace
