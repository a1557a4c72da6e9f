#include "features_ahead.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace sfm {
namespace {

std::vector<double> calibrationOf(int width, int height) {
  return {double(width),
          double(height),
          500,
          500,
          (width - 1) / 2.0,
          (height - 1) / 2.0,
          0,
          0,
          0,
          0,
          0};
}

cv::Mat texture(int seed) {
  cv::Mat image(480, 640, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 255);
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.2);
  return image;
}

// Features taken on their own thread are the ones taken on the caller's, and the job keeps
// the pixels it needs after the caller has let go of its image.
TEST(FeaturesAhead, TakesTheSameFeaturesAsTheCallersThreadFromPixelsItKeeps) {
  for (const FeatureDetector detector : {FeatureDetector::kSift, FeatureDetector::kOrb}) {
    RefinementOptions options;
    options.max_features = 500;
    options.detector = detector;
    const cv::Mat image = texture(4);
    const FrameFeatures here = extractFeatures(
        fw::GImage(image), CameraIntrinsics::fromCalibration(calibrationOf(640, 480)), options);
    std::future<FrameFeatures> ahead;
    {
      fw::GImage own(image.clone());
      ahead = extractFeaturesAhead(own, calibrationOf(640, 480), options);
    }
    const FrameFeatures there = ahead.get();
    ASSERT_EQ(there.size(), here.size());
    ASSERT_GT(here.size(), 100u);
    for (size_t i = 0; i < here.size(); ++i) EXPECT_EQ(there.pixels[i], here.pixels[i]);
    EXPECT_EQ(cv::norm(there.descriptors, here.descriptors, cv::NORM_L1), 0.0);
    EXPECT_EQ(there.patches.rows, here.patches.rows);
    if (!here.patches.empty()) {
      EXPECT_EQ(cv::norm(there.patches, here.patches, cv::NORM_L1), 0.0);
    }
  }
}

// A view of a buffer the caller reuses as soon as the call returns: the features are those
// of the pixels it held at the call.
TEST(FeaturesAhead, BorrowedPixelsAreTakenAsTheyWereAtTheCall) {
  RefinementOptions options;
  options.max_features = 500;
  cv::Mat buffer = texture(6);
  const FrameFeatures here = extractFeatures(
      fw::GImage(buffer), CameraIntrinsics::fromCalibration(calibrationOf(640, 480)), options);
  std::future<FrameFeatures> ahead =
      extractFeaturesAhead(fw::GImage(buffer.rows, buffer.cols, buffer.type(), buffer.data, false),
                           calibrationOf(640, 480), options);
  buffer.setTo(cv::Scalar::all(0));
  const FrameFeatures there = ahead.get();
  ASSERT_EQ(there.size(), here.size());
  for (size_t i = 0; i < here.size(); ++i) EXPECT_EQ(there.pixels[i], here.pixels[i]);
}

TEST(FeaturesAhead, AnEmptyImageOrOneThatDoesNotFitItsCalibrationGivesNoFeatures) {
  std::future<FrameFeatures> ahead =
      extractFeaturesAhead(fw::GImage(texture(5)), calibrationOf(800, 600), RefinementOptions());
  EXPECT_EQ(ahead.get().size(), 0u);
  ahead = extractFeaturesAhead(fw::GImage(), calibrationOf(640, 480), RefinementOptions());
  EXPECT_EQ(ahead.get().size(), 0u);
}

}  // namespace
}  // namespace sfm
