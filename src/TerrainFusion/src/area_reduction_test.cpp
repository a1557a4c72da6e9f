#include "src/TerrainFusion/src/area_reduction.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
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

TEST(AreaReduction, FractionsAreAreaMeansToASizeOfTheirOwn) {
  // 8-bit by 1.7 (whole 103 x 71 image, as a block reduction by 1 leaves it) and 16-bit
  // blocks by 1.3: OpenCV's own floating-point area resize to the rounded size, kept to 1/256
  // of a level.
  const cv::Mat image = randomImage(71, 103, 9);
  for (const int blocks : {1, 2}) {
    const double fraction = blocks == 1 ? 1.7 : 1.3;
    const AreaReduction first = reduceByArea(image, cv::Mat(), blocks);
    cv::Vec2d applied;
    const AreaReduction reduced = reduceByFraction(first, fraction, applied);
    const cv::Size expectedSize(int(std::lround(first.image.cols / fraction)),
                                int(std::lround(first.image.rows / fraction)));
    ASSERT_EQ(reduced.image.size(), expectedSize);
    ASSERT_EQ(reduced.image.type(), CV_16UC3);
    EXPECT_TRUE(reduced.coverage.empty());
    EXPECT_EQ(reduced.factor, blocks);
    EXPECT_DOUBLE_EQ(applied[0], double(first.image.cols) / expectedSize.width);
    EXPECT_DOUBLE_EQ(applied[1], double(first.image.rows) / expectedSize.height);
    cv::Mat levels, expected, ours;
    first.image.convertTo(levels, CV_32FC3, first.levelsPerUnit());
    cv::resize(levels, expected, expectedSize, 0, 0, cv::INTER_AREA);
    reduced.image.convertTo(ours, CV_32FC3, reduced.levelsPerUnit());
    EXPECT_LE(cv::norm(ours, expected, cv::NORM_INF), 0.5 / 256 + 1e-3) << blocks;
  }
  // A fraction of about 1 changes nothing, not even the pixel type.
  const AreaReduction whole = reduceByArea(image, cv::Mat(), 1);
  cv::Vec2d applied;
  const AreaReduction same = reduceByFraction(whole, 1.0 + 1e-4, applied);
  EXPECT_EQ(same.image.data, image.data);
  EXPECT_EQ(applied, cv::Vec2d(1.0, 1.0));
  EXPECT_EQ(same.levelsPerUnit(), 1.0);
}

TEST(AreaReduction, FractionsOfAMaskedImageAverageOnlyContent) {
  // Columns 0-4 margin, 5-17 seen: reduced by 1.5 to 12 columns, the fourth (source columns
  // 4.5 to 6) a third margin, the third (3 to 4.5) all margin.
  cv::Mat image(6, 18, CV_8UC3, cv::Scalar(10, 20, 30)), seen(6, 18, CV_8UC1, cv::Scalar(0));
  image.colRange(5, 18).setTo(cv::Scalar::all(200));
  seen.colRange(5, 18).setTo(255);
  cv::Vec2d applied;
  const AreaReduction reduced = reduceByFraction(reduceByArea(image, seen, 1), 1.5, applied);
  ASSERT_EQ(reduced.image.size(), cv::Size(12, 4));
  ASSERT_FALSE(reduced.coverage.empty());
  using Levels = cv::Vec<uint16_t, 3>;
  // Straddling the edge: the seen third alone, its share the coverage.
  EXPECT_EQ(reduced.image.at<Levels>(1, 3), Levels::all(200 * 256));
  EXPECT_NEAR(reduced.coverage.at<uchar>(1, 3), 255 * 2 / 3.0, 1.0);
  // Nothing seen: the plain mean, so that a read there still continues the image.
  EXPECT_EQ(reduced.image.at<Levels>(1, 2), Levels(10 * 256, 20 * 256, 30 * 256));
  EXPECT_EQ(reduced.coverage.at<uchar>(1, 2), 0);
  EXPECT_EQ(reduced.coverage.at<uchar>(1, 8), 255);
  EXPECT_EQ(reduced.image.at<Levels>(1, 8), Levels::all(200 * 256));
}

TEST(AreaReduction, BadFractionsAreRefused) {
  const AreaReduction reduced = reduceByArea(cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(1)), {}, 1);
  cv::Vec2d applied;
  EXPECT_THROW(reduceByFraction(reduced, 0.5, applied), std::invalid_argument);
  EXPECT_THROW(reduceByFraction(reduced, std::nan(""), applied), std::invalid_argument);
  EXPECT_THROW(reduceByFraction(reduced, 1.0 / 0.0, applied), std::invalid_argument);
  EXPECT_THROW(reduceByFraction(AreaReduction(), 1.5, applied), std::invalid_argument);
  // Fractions beyond the image's size still leave one pixel.
  EXPECT_EQ(reduceByFraction(reduced, 100.0, applied).image.size(), cv::Size(1, 1));
}

}  // namespace
