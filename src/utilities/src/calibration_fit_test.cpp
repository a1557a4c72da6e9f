#include "calibration_fit.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-9) << i;
}

TEST(CalibrationFit, RelativelyTallerImageCropsTheCalibrationWidth) {
  // 4000 x 2250 calibration on a 4000 x 3000 image: width cropped to 3000 (cx - 500), then
  // scaled by 4000 / 3000 horizontally and 3000 / 2250 vertically.
  std::vector<double> calibration = {4000, 2250, 3000, 3000, 2000, 1125, 0.1, 0.2, 0.3, 0.4, 0.5};
  expectNear(fitCalibrationToImage(calibration, 4000, 3000),
             {4000, 3000, 4000, 4000, 2000, 1500, 0.1, 0.2, 0.3, 0.4, 0.5});
}

TEST(CalibrationFit, RelativelyWiderImageCropsTheCalibrationHeight) {
  std::vector<double> calibration = {4000, 3000, 3000, 3000, 2000, 1500, 0, 0, 0, 0, 0};
  expectNear(fitCalibrationToImage(calibration, 4000, 2250),
             {4000, 2250, 3000, 3000, 2000, 1125, 0, 0, 0, 0, 0});
}

TEST(CalibrationFit, SameAspectRatioOnlyScales) {
  std::vector<double> calibration = {4000, 3000, 3000, 2900, 2010, 1490};
  expectNear(fitCalibrationToImage(calibration, 1000, 750), {1000, 750, 750, 725, 502.5, 372.5});
}

TEST(CalibrationFit, CropUsesIntegerHalvingOfTheSizes) {
  // New width 333 * 100 / 100 = 333; cx moves by (1000 - 333) / 2 = 333 (integer division).
  std::vector<double> calibration = {1000, 100, 500, 500, 500, 50};
  expectNear(fitCalibrationToImage(calibration, 333, 100), {333, 100, 500, 500, 167, 50});
}

TEST(CalibrationFit, ExtremeAspectRatiosStayFinite) {
  std::vector<double> calibration = {4000, 3000, 3000, 3000, 2000, 1500};
  for (auto [cols, rows] : {std::pair{8000, 1}, std::pair{1, 8000}, std::pair{1, 1}}) {
    std::vector<double> fitted = fitCalibrationToImage(calibration, cols, rows);
    EXPECT_EQ(fitted[0], cols);
    EXPECT_EQ(fitted[1], rows);
    for (double value : fitted) EXPECT_TRUE(std::isfinite(value)) << cols << "x" << rows;
  }
}

TEST(CalibrationFit, ACalibrationThatWouldLoseMoreThanHalfASideDoesNotDescribeTheImage) {
  const std::vector<double> calibration = {1000, 750, 800, 800, 500, 375};
  EXPECT_EQ(calibrationMismatch(calibration, 1000, 750), "");
  EXPECT_EQ(calibrationMismatch(calibration, 250, 187), "");   // scaled only
  EXPECT_EQ(calibrationMismatch(calibration, 1000, 563), "");  // 16:9 from 4:3: a quarter cropped
  EXPECT_EQ(calibrationMismatch(calibration, 750, 750), "");   // square: a quarter cropped
  EXPECT_EQ(calibrationMismatch(calibration, 1000, 375), "");  // exactly half kept
  EXPECT_EQ(calibrationMismatch(calibration, 1, 65000),
            "its 1 x 65000 pixels do not match the calibration's 1000 x 750");
  EXPECT_EQ(calibrationMismatch(calibration, 65000, 1),
            "its 65000 x 1 pixels do not match the calibration's 1000 x 750");
  EXPECT_NE(calibrationMismatch(calibration, 1000, 374), "");
  EXPECT_NE(calibrationMismatch(calibration, 0, 750), "");
  // Without a calibration there is nothing to fit.
  EXPECT_EQ(calibrationMismatch({}, 1, 65000), "");
}

}  // namespace
