#include "src/TerrainFusion/src/route_weights.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Weights 0..255 on a raster of 4 x 4-pixel cells: the left half of the cells has heights,
// the right half none.
struct Raster {
  cv::Mat weight = cv::Mat(16, 128, CV_8UC1);
  cv::Mat dsm = cv::Mat(4, 32, CV_32FC1, cv::Scalar(12.5f));
  Raster() {
    for (int r = 0; r < weight.rows; ++r)
      for (int c = 0; c < weight.cols; ++c) weight.at<uchar>(r, c) = uchar((r * 64 + c % 64) % 256);
    dsm.colRange(16, 32).setTo(tile_model::kNoHeight);
  }
};

// Rank of each weight, per kind of pixel; false when one weight got two ranks.
bool ranksOf(const cv::Mat& before, const cv::Mat& after, int c0, int c1,
             std::map<int, int>& ranks) {
  for (int r = 0; r < before.rows; ++r) {
    for (int c = c0; c < c1; ++c) {
      const auto [it, added] = ranks.emplace(before.at<uchar>(r, c), after.at<uchar>(r, c));
      if (!added && it->second != after.at<uchar>(r, c)) return false;
    }
  }
  return true;
}

// Any dense weight with a height outranks any sparse one and any dense one without a height;
// nothing stays nothing, something never becomes nothing; each kind keeps its own order.
TEST(RouteWeights, DenseHeightsOutrankTheRestAndEachKeepsItsOrder) {
  Raster dense, sparse;
  const cv::Mat before = dense.weight.clone();
  rankWeights(dense.weight, dense.dsm, HeightSource::kDense);
  rankWeights(sparse.weight, sparse.dsm, HeightSource::kSparse);
  std::map<int, int> high, lowDense, lowSparse;
  ASSERT_TRUE(ranksOf(before, dense.weight, 0, 64, high));
  ASSERT_TRUE(ranksOf(before, dense.weight, 64, 128, lowDense));
  ASSERT_TRUE(ranksOf(before, sparse.weight, 0, 128, lowSparse));
  ASSERT_EQ(high.size(), 256u);
  EXPECT_EQ(lowDense, lowSparse) << "a dense pixel without a height ranks as a sparse one";
  for (const auto* ranks : {&high, &lowSparse}) {
    EXPECT_EQ(ranks->at(0), 0);
    int previous = 0;
    for (const auto& [w, rank] : *ranks) {
      if (w > 0) EXPECT_GT(rank, 0) << w;
      EXPECT_GE(rank, previous) << w;
      previous = rank;
    }
  }
  EXPECT_GT(high.at(1), lowSparse.at(255));
  EXPECT_EQ(high.at(255), 255);  // the strongest keeps its full rank
}

TEST(RouteWeights, OtherRastersAreLeftOrRankedWhole) {
  cv::Mat deep(2, 2, CV_16UC1, cv::Scalar(300));
  rankWeights(deep, cv::Mat(), HeightSource::kSparse);  // not a weight raster: left alone
  EXPECT_EQ(deep.at<uint16_t>(1, 1), 300);
  // Dense without a height raster of its size: every pixel counts as having a height.
  cv::Mat weight(8, 8, CV_8UC1, cv::Scalar(1));
  rankWeights(weight, cv::Mat(), HeightSource::kDense);
  EXPECT_EQ(weight.at<uchar>(7, 7), 128);
}

// A dense frame whose holes were filled from its sparse surface: only the cells its dense
// points stand in (widened by the reach) rank high; the filled ones rank as a sparse frame's
// pixels, and a mask of the wrong size ranks the frame as dense heights do.
TEST(RouteWeights, FilledCellsOfADenseFrameRankAsSparse) {
  const cv::Mat cells = denseCells({{2.5, 1.5}, {-1.0, 0.0}, {40.0, 1.0}, {NAN, 1.0}}, {32, 4}, 1);
  ASSERT_EQ(cells.size(), cv::Size(32, 4));
  EXPECT_EQ(cv::countNonZero(cells), 9) << "one cell widened by one; outside points dropped";
  EXPECT_NE(cells.at<uchar>(0, 1), 0);
  EXPECT_NE(cells.at<uchar>(2, 3), 0);
  EXPECT_EQ(cells.at<uchar>(3, 2), 0);
  EXPECT_EQ(cv::countNonZero(denseCells({{2.5, 1.5}}, {32, 4}, 0)), 1);

  Raster filled, plain, sparse;
  rankWeights(filled.weight, filled.dsm, cells);
  rankWeights(plain.weight, plain.dsm, cv::Mat(3, 3, CV_8UC1, cv::Scalar(255)));
  rankWeights(sparse.weight, sparse.dsm, HeightSource::kSparse);
  EXPECT_EQ(filled.weight.at<uchar>(5, 9), uchar(128 + (Raster().weight.at<uchar>(5, 9) >> 1)));
  EXPECT_EQ(filled.weight.at<uchar>(15, 40), sparse.weight.at<uchar>(15, 40)) << "filled cell";
  EXPECT_EQ(filled.weight.at<uchar>(5, 100), sparse.weight.at<uchar>(5, 100)) << "no height";
  Raster dense;
  rankWeights(dense.weight, dense.dsm, HeightSource::kDense);
  EXPECT_EQ(cv::countNonZero(plain.weight != dense.weight), 0);
}

}  // namespace
