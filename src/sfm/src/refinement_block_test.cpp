#include "refinement_block.h"

#include <gtest/gtest.h>

namespace sfm {
namespace {

TEST(RefinementBlock, FeaturesAreNormalisedWithTheCameraAsRefined) {
  // Taken with a calibration 6% short and no distortion; the block's camera has since moved
  // to the lens's focal length and distortion.
  const std::vector<double> calibration = {1000, 750, 800.0, 800.0, 500.0, 375.0, 0, 0, 0, 0, 0};
  RefinementBlock block;
  block.cameras.push_back(CameraIntrinsics::fromCalibration(calibration));
  BlockFrame frame;
  for (const cv::Point2f px :
       {cv::Point2f(500.0f, 375.0f), cv::Point2f(20.0f, 30.0f), cv::Point2f(980.0f, 700.0f)}) {
    frame.features.pixels.push_back(px);
    const auto n = block.cameras[0].unproject(px.x, px.y);
    frame.features.normalised.emplace_back(n[0], n[1]);
  }
  frame.normalised_with = block.cameras[0].refined;
  const std::vector<cv::Point2d> as_taken = frame.features.normalised;
  block.normaliseFeatures(frame);
  EXPECT_EQ(frame.features.normalised, as_taken) << "the camera did not move";

  block.cameras[0].refined = {850.0, 502.0, 373.0, -0.03, 0.01};
  block.normaliseFeatures(frame);
  for (size_t i = 0; i < frame.features.size(); ++i) {
    // The ray projects back onto the feature's pixel through the refined camera.
    const Eigen::Vector3d ray(frame.features.normalised[i].x, frame.features.normalised[i].y, 1.0);
    double pixel[2];
    projectToPixel(block.cameras[0].refined.data(), block.cameras[0], ray.data(), pixel);
    EXPECT_NEAR(pixel[0], frame.features.pixels[i].x, 1e-3) << i;
    EXPECT_NEAR(pixel[1], frame.features.pixels[i].y, 1e-3) << i;
  }
  // The corner's ray moved by the focal length and the distortion.
  EXPECT_GT(std::abs(frame.features.normalised[1].x - as_taken[1].x), 0.02);
}

}  // namespace
}  // namespace sfm
