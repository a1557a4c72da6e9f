#include "src/TerrainFusion/src/area_reduction.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace {

cv::Mat randomImage(int rows, int cols, uint64_t seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

TEST(AreaReduction, BlocksAreMeansAndTheLastOnesContinueTheEdge) {
  // 103 x 71 by 4: the last column and row of blocks reach past the image.
  const cv::Mat image = randomImage(71, 103, 7);
  const AreaReduction reduced = reduceByArea(image, cv::Mat(), 4);
  ASSERT_EQ(reduced.image.size(), cv::Size(26, 18));
  EXPECT_TRUE(reduced.coverage.empty());

  // OpenCV's own area reduction of the edge-continued image, whose blocks fit exactly, in
  // floating point: ours keeps the means to 1/256 of a level.
  cv::Mat padded, expected, ours;
  cv::copyMakeBorder(image, padded, 0, 1, 0, 1, cv::BORDER_REPLICATE);
  padded.convertTo(padded, CV_32FC3);
  cv::resize(padded, expected, reduced.image.size(), 0, 0, cv::INTER_AREA);
  ASSERT_EQ(reduced.image.type(), CV_16UC3);
  reduced.image.convertTo(ours, CV_32FC3, reduced.levelsPerUnit());
  EXPECT_LE(cv::norm(ours, expected, cv::NORM_INF), 0.5 / 256 + 1e-4);

  // Reduced pixel centres sit at their blocks' centres.
  EXPECT_DOUBLE_EQ(reduced.reducedOf(1.5), 0.0);
  EXPECT_DOUBLE_EQ(reduced.reducedOf(5.5), 1.0);

  // Factor 1 is the image itself, not a copy.
  const AreaReduction same = reduceByArea(image, cv::Mat(), 1);
  EXPECT_EQ(same.image.data, image.data);
  EXPECT_EQ(same.levelsPerUnit(), 1.0);
}

TEST(AreaReduction, MasksAverageOnlyContentAndReduceToTheSeenShare) {
  // Blocks of 4 x 4: the first half seen (200) beside black margin, the second all margin,
  // the third all seen.
  cv::Mat image(4, 12, CV_8UC3, cv::Scalar::all(0)), seen(4, 12, CV_8UC1, cv::Scalar(0));
  image(cv::Rect(2, 0, 2, 4)).setTo(cv::Scalar::all(200));
  seen(cv::Rect(2, 0, 2, 4)).setTo(255);
  image(cv::Rect(4, 0, 4, 4)).setTo(cv::Scalar(10, 20, 30));
  image(cv::Rect(8, 0, 4, 4)).setTo(cv::Scalar::all(90));
  seen(cv::Rect(8, 0, 4, 4)).setTo(255);
  const AreaReduction reduced = reduceByArea(image, seen, 4);
  ASSERT_EQ(reduced.image.size(), cv::Size(3, 1));
  using Levels = cv::Vec<uint16_t, 3>;
  EXPECT_EQ(reduced.image.at<Levels>(0, 0), Levels::all(200 * 256));
  EXPECT_EQ(reduced.coverage.at<uchar>(0, 0), 128);
  // Nothing seen: the block's plain mean, so that a read there still continues the image.
  EXPECT_EQ(reduced.image.at<Levels>(0, 1), Levels(10 * 256, 20 * 256, 30 * 256));
  EXPECT_EQ(reduced.coverage.at<uchar>(0, 1), 0);
  EXPECT_EQ(reduced.coverage.at<uchar>(0, 2), 255);

  // One seen pixel in a block of 1600 still counts as seen.
  cv::Mat single(40, 40, CV_8UC1, cv::Scalar(0));
  single.at<uchar>(39, 39) = 255;
  const AreaReduction one = reduceByArea(cv::Mat(40, 40, CV_8UC3, cv::Scalar::all(9)), single, 40);
  EXPECT_EQ(one.coverage.at<uchar>(0, 0), 1);

  // A block past the image's edge continues its last column, mask and all: five columns by
  // 4 leave a second block of the last column alone.
  cv::Mat edge(4, 5, CV_8UC3, cv::Scalar::all(40)), edgeSeen(4, 5, CV_8UC1, cv::Scalar(255));
  edge.col(4).setTo(cv::Scalar::all(80));
  const AreaReduction continued = reduceByArea(edge, edgeSeen, 4);
  EXPECT_EQ(continued.image.at<Levels>(0, 1), Levels::all(80 * 256));
  EXPECT_EQ(continued.coverage.at<uchar>(0, 1), 255);
  edgeSeen.col(4).setTo(0);
  EXPECT_EQ(reduceByArea(edge, edgeSeen, 4).coverage.at<uchar>(0, 1), 0);

  // Factor 1 keeps the mask as the coverage.
  EXPECT_EQ(reduceByArea(image, seen, 1).coverage.data, seen.data);
}

TEST(AreaReduction, BadInputIsRefused) {
  const cv::Mat image(8, 8, CV_8UC3, cv::Scalar::all(1));
  EXPECT_THROW(reduceByArea(cv::Mat(8, 8, CV_8UC1), cv::Mat(), 2), std::invalid_argument);
  EXPECT_THROW(reduceByArea(cv::Mat(), cv::Mat(), 2), std::invalid_argument);
  EXPECT_THROW(reduceByArea(image, cv::Mat(4, 8, CV_8UC1), 2), std::invalid_argument);
  EXPECT_THROW(reduceByArea(image, cv::Mat(8, 8, CV_16UC1), 2), std::invalid_argument);
  EXPECT_THROW(reduceByArea(image, cv::Mat(), 0), std::invalid_argument);
  EXPECT_THROW(reduceByArea(image, cv::Mat(), kMaxReductionFactor + 1), std::invalid_argument);
}

}  // namespace
