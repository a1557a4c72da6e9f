#include "patch_correlation.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace sfm {
namespace {

// OpenCV's normalised correlation and its first highest placement, for comparison.
Correlation libraryCorrelation(const cv::Mat& search, const cv::Mat& templ) {
  cv::Mat score;
  cv::matchTemplate(search, templ, score, cv::TM_CCOEFF_NORMED);
  Correlation c;
  cv::minMaxLoc(score, nullptr, &c.score, nullptr, &c.at);
  return c;
}

// Patches as placing a match reads them: a 9 x 9 template (a view into a larger patch, as the
// template is cut from one) in a 15 x 15 search patch, smooth texture plus noise, the
// template cut from a shifted copy of the search patch.
TEST(PatchCorrelation, AgreesWithTheLibrarysNormalisedCorrelation) {
  cv::RNG rng(3);
  int compared = 0;
  for (int trial = 0; trial < 300; ++trial) {
    cv::Mat texture(15, 15, CV_8U), noise(15, 15, CV_8U), search;
    rng.fill(texture, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(texture, texture, cv::Size(5, 5), 1.2);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 8 + trial % 40);
    cv::add(texture, noise, search);
    const int sx = rng.uniform(0, 7), sy = rng.uniform(0, 7);
    const cv::Mat templ = texture(cv::Rect(sx, sy, 9, 9));
    const Correlation mine = bestCorrelation(search, templ);
    const Correlation library = libraryCorrelation(search, templ);
    EXPECT_NEAR(mine.score, library.score, 1e-4) << trial;
    // The placement where the highest score stands clear of the next (float rounding in the
    // library may otherwise tell a near tie the other way).
    cv::Mat score;
    cv::matchTemplate(search, templ, score, cv::TM_CCOEFF_NORMED);
    score.at<float>(library.at) = -2.0f;
    double second = 0.0;
    cv::minMaxLoc(score, nullptr, &second);
    if (library.score - second > 1e-3) {
      EXPECT_EQ(mine.at, library.at) << trial;
      ++compared;
    }
  }
  EXPECT_GT(compared, 250);
}

TEST(PatchCorrelation, ACopyScoresOneWhereItWasCutAndFlatPatchesScoreNothing) {
  cv::RNG rng(8);
  cv::Mat search(15, 15, CV_8U);
  rng.fill(search, cv::RNG::UNIFORM, 0, 256);
  const Correlation copy = bestCorrelation(search, search(cv::Rect(4, 2, 9, 9)));
  EXPECT_NEAR(copy.score, 1.0, 1e-12);
  EXPECT_EQ(copy.at, cv::Point(4, 2));
  // The same texture brighter and with more contrast correlates fully all the same.
  cv::Mat brighter;
  search(cv::Rect(1, 5, 9, 9)).convertTo(brighter, CV_8U, 0.5, 60.0);
  EXPECT_NEAR(bestCorrelation(search, brighter).score, 1.0, 0.02);
  EXPECT_EQ(bestCorrelation(search, brighter).at, cv::Point(1, 5));
  // A flat template tells no place: every placement scores 0 and the first is given.
  const Correlation flat_template = bestCorrelation(search, cv::Mat(9, 9, CV_8U, cv::Scalar(90)));
  EXPECT_EQ(flat_template.score, 0.0);
  EXPECT_EQ(flat_template.at, cv::Point(0, 0));
  // Nor does a flat search patch, whatever the template.
  const Correlation flat_search =
      bestCorrelation(cv::Mat(15, 15, CV_8U, cv::Scalar(7)), search(cv::Rect(0, 0, 9, 9)));
  EXPECT_EQ(flat_search.score, 0.0);
  // An inverted copy is the least like it.
  cv::Mat inverted;
  cv::bitwise_not(search(cv::Rect(3, 3, 9, 9)), inverted);
  EXPECT_LT(bestCorrelation(search, inverted).score, 0.9);
}

TEST(PatchCorrelation, ASearchPatchSmallerThanTheTemplateOrAnOversizedTemplateHasNoPlacement) {
  const cv::Mat small(5, 5, CV_8U, cv::Scalar(3)), templ(9, 9, CV_8U, cv::Scalar(4));
  const Correlation none = bestCorrelation(small, templ);
  EXPECT_EQ(none.score, 0.0);
  EXPECT_EQ(none.at, cv::Point(-1, -1));
  const cv::Mat huge(200, 200, CV_8U, cv::Scalar(1));
  EXPECT_THROW(bestCorrelation(huge, huge), std::invalid_argument);
}

}  // namespace
}  // namespace sfm
