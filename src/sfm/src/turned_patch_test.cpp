#include "turned_patch.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>

namespace sfm {
namespace {

// OpenCV's warp of the same turn about the patch's centre.
cv::Mat libraryTurn(const cv::Mat& patch, const cv::Matx22f& turn) {
  const cv::Point2f middle(patch.cols / 2, patch.rows / 2);
  const cv::Point2f moved_middle = turn * cv::Vec2f(middle.x, middle.y);
  const cv::Matx23f affine(turn(0, 0), turn(0, 1), middle.x - moved_middle.x, turn(1, 0),
                           turn(1, 1), middle.y - moved_middle.y);
  cv::Mat out;
  cv::warpAffine(patch, out, affine, patch.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

cv::Matx22f turnBy(double spin) {
  return cv::Matx22f(std::cos(spin), -std::sin(spin), std::sin(spin), std::cos(spin));
}

// Placing matches of turned views depends on these bytes: they must be the library's to the
// byte, for turns all round (a return leg is turned half round), small ones, exact quarter
// turns whose positions land on whole pixels, and patches of other sizes, saturated ones
// included.
TEST(TurnedPatch, GivesTheLibrarysWarpToTheByte) {
  cv::RNG rng(8);
  int patches = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const int side = trial % 10 == 0 ? 9 + trial % 7 : 15;
    cv::Mat patch(side, side + (trial % 20 == 0), CV_8UC1);
    rng.fill(patch, cv::RNG::UNIFORM, trial % 3 == 0 ? 200 : 0, 256);
    const double spin = trial % 8 == 0   ? M_PI / 2 * (trial / 8 % 4)
                        : trial % 8 == 1 ? rng.uniform(-0.02, 0.02)
                                         : rng.uniform(-M_PI, M_PI);
    const cv::Mat mine = turnedPatch(patch, turnBy(spin));
    const cv::Mat library = libraryTurn(patch, turnBy(spin));
    ASSERT_EQ(mine.size(), library.size());
    EXPECT_EQ(cv::countNonZero(mine != library), 0) << trial << " spin " << spin;
    ++patches;
  }
  EXPECT_EQ(patches, 400);
  cv::Mat widest(9, kMostTurnedColumns, CV_8UC1);
  rng.fill(widest, cv::RNG::UNIFORM, 0, 256);
  EXPECT_EQ(cv::countNonZero(turnedPatch(widest, turnBy(2.5)) != libraryTurn(widest, turnBy(2.5))),
            0);
}

TEST(TurnedPatch, KeepsAnUnturnedPatchAndRefusesOtherPixelTypesAndWidePatches) {
  cv::Mat patch(15, 15, CV_8UC1);
  cv::RNG(2).fill(patch, cv::RNG::UNIFORM, 0, 256);
  EXPECT_EQ(cv::countNonZero(turnedPatch(patch, turnBy(0.0)) != patch), 0);
  EXPECT_THROW(turnedPatch(cv::Mat(15, 15, CV_8UC3), turnBy(0.3)), std::invalid_argument);
  EXPECT_THROW(turnedPatch(cv::Mat(15, 15, CV_32F), turnBy(0.3)), std::invalid_argument);
  EXPECT_THROW(turnedPatch(cv::Mat(9, kMostTurnedColumns + 1, CV_8UC1), turnBy(0.3)),
               std::invalid_argument);
}

}  // namespace
}  // namespace sfm
