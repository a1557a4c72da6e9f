#include "src/PointsFusion/src/stereo_dense/window_max.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace {

using window_max::squareMax;

TEST(WindowMax, GivesWhatDilatingWithTheSquareGivesAndRefusesWhatItCannotTake) {
  // Sizes below, at and above the window's side, negative values, a view into a wider image,
  // and reaches from 0 to wider than the image.
  cv::RNG rng(7);
  for (const cv::Size size :
       {cv::Size(1, 1), cv::Size(7, 1), cv::Size(40, 23), cv::Size(129, 64)}) {
    cv::Mat wide(size.height, size.width + 5, CV_32FC1);
    rng.fill(wide, cv::RNG::UNIFORM, -50.0f, 300.0f);
    const cv::Mat image = wide.colRange(0, size.width);
    for (const int reach : {0, 1, 6, 64, 200}) {
      cv::Mat dilated;
      cv::dilate(image.clone(), dilated,  // a view's dilation reads beyond it
                 cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
      const cv::Mat mine = squareMax(image, reach);
      ASSERT_EQ(mine.size(), image.size());
      EXPECT_EQ(cv::norm(mine, dilated, cv::NORM_INF), 0.0) << size << " reach " << reach;
    }
  }
  EXPECT_TRUE(squareMax(cv::Mat(4, 4, CV_8UC1, cv::Scalar(1)), 1).empty());
  EXPECT_TRUE(squareMax(cv::Mat(4, 4, CV_32FC1, cv::Scalar(1)), -1).empty());
  EXPECT_TRUE(squareMax(cv::Mat(0, 0, CV_32FC1), 3).empty());
}

}  // namespace
