#include "search_window.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>

namespace sfm {
namespace {

constexpr double kDeg = M_PI / 180.0;

// A frame 100 m above its ground with the given held sigmas.
BlockFrame frameWith(double gps_sigma, double tilt_deg, double yaw_deg) {
  BlockFrame f;
  f.gps = {0.0, 0.0, 100.0};
  f.ground = 0.0;
  f.gps_sigma = Eigen::Vector3d::Constant(gps_sigma);
  f.tilt_sigma = tilt_deg * kDeg;
  f.yaw_sigma = yaw_deg * kDeg;
  f.recorded_yaw_sigma = 2.0 * kDeg;
  return f;
}

TEST(SearchRadius, GrowsWithTheHeldSigmasAndSearchesAnywhereForALooseHeading) {
  const RefinementOptions options;
  // Trusted headings: three sigmas of 5 m over 100 m and of 2 degrees, on both frames.
  const BlockFrame a = frameWith(5.0, 2.0, 2.0), b = frameWith(5.0, 2.0, 2.0);
  const double expected =
      3.0 * 800.0 * (std::hypot(5.0, 5.0) * std::sqrt(2.0) / 100.0 + std::hypot(2.0, 2.0) * kDeg);
  EXPECT_NEAR(searchRadius(a, b, 800.0, 1000.0, options), expected, 1e-6);
  // A heading held loosely (the course written as the heading) leaves no window to look in,
  // whatever sigma its record states, on either frame of the pair.
  const BlockFrame loose = frameWith(5.0, 2.0, RefinementOptions().yaw_sigma);
  EXPECT_EQ(searchRadius(loose, b, 800.0, 1000.0, options), 0.0);
  EXPECT_EQ(searchRadius(a, loose, 800.0, 1000.0, options), 0.0);
}

TEST(SearchRadius, KeepsALeastWindowAndCanBeSwitchedOff) {
  RefinementOptions options;
  const BlockFrame exact = frameWith(0.02, 0.1, 0.1);
  // Fixes and attitude this close still leave the relief beside the ground to search over.
  EXPECT_NEAR(searchRadius(exact, exact, 800.0, 1000.0, options), 200.0, 1e-9);
  options.search_sigmas = 0.0;
  EXPECT_EQ(searchRadius(exact, exact, 800.0, 1000.0, options), 0.0);
}

// A frame 100 m up, looking down with the given turns (radians) about the local up and
// east axes, its fix `lag` metres behind along its northward track.
BlockFrame frameAt(const Eigen::Vector3d& centre, double yaw, double tilt, double lag) {
  BlockFrame f;
  Eigen::Matrix3d down;
  down << 1, 0, 0, 0, -1, 0, 0, 0, -1;  // camera x east, y south, z down
  const Eigen::Matrix3d turn = down * (Eigen::AngleAxisd(tilt, Eigen::Vector3d::UnitX()) *
                                       Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()))
                                          .toRotationMatrix()
                                          .transpose();
  f.setPose(turn, centre);
  f.gps = centre - Eigen::Vector3d(0.0, lag, 0.0);
  f.gps_sigma = Eigen::Vector3d::Constant(0.5);
  f.track = Eigen::Vector2d(0.0, 1.0);
  f.tilt_sigma = 1.0 * kDeg;
  f.yaw_sigma = RefinementOptions().yaw_sigma * kDeg;  // the heading held loosely
  return f;
}

// Every recorded heading is the course, 15 degrees off the true heading (the crab angle), and
// every fix trails its exposure by 2 m: a placed frame of the same strip tells both, and its
// features are looked for where they truly show in the next frame, within a window no wider
// than the records' own noise needs. A frame flown the other way, or not placed, tells
// nothing: anywhere then.
TEST(SearchWindow, APlacedFrameOfTheStripTellsTheNextOnesHeadingAndLag) {
  RefinementBlock block;
  block.cameras.push_back(
      CameraIntrinsics::fromCalibration({1000, 750, 800, 800, 499.5, 374.5, 0, 0, 0, 0, 0}));
  const double crab = 15.0 * kDeg;
  BlockFrame a = frameAt({0.0, 0.0, 100.0}, crab, 0.01, 2.0);
  const BlockFrame true_b = frameAt({0.5, 30.0, 100.0}, crab + 0.01, -0.015, 2.0);
  BlockFrame b = true_b;
  for (BlockFrame* f : {&a, &b}) {
    // The recorded attitude lacks the crab.
    const Eigen::AngleAxisd recorded(
        f->cameraFromLocal() *
        Eigen::AngleAxisd(-crab, Eigen::Vector3d::UnitZ()).toRotationMatrix());
    const Eigen::Vector3d angle_axis = recorded.angle() * recorded.axis();
    for (int k = 0; k < 3; ++k) f->attitude_prior[k] = angle_axis[k];
  }
  a.placed = true;
  b.setPose(b.directCameraFromLocal(), b.gps);  // not placed: its record
  for (double x = -0.5; x <= 0.5; x += 0.1)
    for (double y = -0.4; y <= 0.4; y += 0.1) {
      a.features.normalised.emplace_back(x, y);
      a.features.pixels.emplace_back(float(800.0 * x + 499.5), float(800.0 * y + 374.5));
    }
  const RefinementOptions options;
  const SearchWindow window = searchWindow(block, a, b, 800.0, 1000.0, options);
  EXPECT_NEAR(window.radius, 200.0, 1e-9) << "the least window: the records agree to 1 degree";
  ASSERT_EQ(window.expected.size(), a.features.size());
  double farthest = 0.0;
  int seen = 0;
  for (size_t i = 0; i < a.features.size(); ++i) {
    // Where the feature truly shows in b: its ground point seen from b's true pose.
    const cv::Point2d& n = a.features.normalised[i];
    const Eigen::Vector3d ray = a.cameraFromLocal().transpose() * Eigen::Vector3d(n.x, n.y, 1.0);
    const Eigen::Vector3d point = a.centre() + (-a.centre().z() / ray.z()) * ray;
    const Eigen::Vector3d in_b = true_b.cameraFromLocal() * (point - true_b.centre());
    const cv::Point2f truth(float(800.0 * in_b.x() / in_b.z() + 499.5),
                            float(800.0 * in_b.y() / in_b.z() + 374.5));
    if (truth.x < 0 || truth.y < 0 || truth.x > 999 || truth.y > 749) continue;
    ++seen;
    farthest = std::max(farthest, cv::norm(window.expected[i] - truth));
  }
  EXPECT_GT(seen, 30);
  EXPECT_LT(farthest, 50.0) << "within the noise of two records' attitudes";

  BlockFrame back = b;
  back.track = -b.track;
  EXPECT_EQ(searchWindow(block, a, back, 800.0, 1000.0, options).radius, 0.0);
  a.placed = false;
  EXPECT_EQ(searchWindow(block, a, b, 800.0, 1000.0, options).radius, 0.0);
}

}  // namespace
}  // namespace sfm
