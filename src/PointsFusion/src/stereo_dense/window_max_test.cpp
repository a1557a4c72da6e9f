#include "src/PointsFusion/src/stereo_dense/window_max.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace {

using window_max::squareMax;

cv::Mat dilated(const cv::Mat& image, int reach) {
  cv::Mat out;
  cv::dilate(image, out,
             cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
  return out;
}

TEST(WindowMax, GivesWhatDilatingWithTheSquareGives) {
  // Sizes below, at and above the window's side, odd and even; negative values and a lone
  // peak; a reach of 0 copies the image, one wider than the image spreads its largest value.
  cv::RNG rng(7);
  const cv::Size sizes[] = {{1, 1}, {7, 1}, {1, 9}, {13, 13}, {40, 23}, {129, 64}};
  for (const cv::Size size : sizes) {
    cv::Mat image(size, CV_32FC1);
    rng.fill(image, cv::RNG::UNIFORM, -50.0f, 300.0f);
    for (const int reach : {0, 1, 3, 6, 64, 200}) {
      const cv::Mat mine = squareMax(image, reach);
      ASSERT_EQ(mine.size(), image.size());
      ASSERT_EQ(mine.type(), CV_32FC1);
      EXPECT_EQ(cv::norm(mine, dilated(image, reach), cv::NORM_INF), 0.0)
          << size << " reach " << reach;
    }
  }
  cv::Mat flat(30, 50, CV_32FC1, cv::Scalar(0.0f));
  flat.at<float>(29, 0) = 5.0f;
  const cv::Mat spread = squareMax(flat, 4);
  EXPECT_EQ(cv::countNonZero(spread == 5.0f), 5 * 5);
  EXPECT_EQ(spread.at<float>(25, 4), 5.0f);
  EXPECT_EQ(spread.at<float>(24, 4), 0.0f);
}

TEST(WindowMax, RefusesWhatItCannotTake) {
  EXPECT_TRUE(squareMax(cv::Mat(4, 4, CV_8UC1, cv::Scalar(1)), 1).empty());
  EXPECT_TRUE(squareMax(cv::Mat(4, 4, CV_32FC1, cv::Scalar(1)), -1).empty());
  EXPECT_TRUE(squareMax(cv::Mat(0, 0, CV_32FC1), 3).empty());
  // A view into a wider image is read by its own rows.
  cv::Mat wide(6, 20, CV_32FC1, cv::Scalar(0.0f));
  wide.at<float>(2, 15) = 9.0f;
  const cv::Mat part = wide.colRange(0, 10);
  EXPECT_EQ(cv::countNonZero(squareMax(part, 2)), 0);
}

}  // namespace
