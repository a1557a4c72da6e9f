#include "search_window.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sfm
