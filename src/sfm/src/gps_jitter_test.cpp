#include "gps_jitter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace sfm {
namespace {

TEST(GpsJitter, TellsTheScatterOfFixesAboutTheirTrackNotTheErrorTheyShare) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1.5);
  GpsJitter jitter;
  EXPECT_EQ(jitter.scatter(6), HUGE_VAL) << "nothing to tell yet";
  const Eigen::Vector3d shared(4.0, -6.0, 3.0);  // a bias all fixes carry
  double time = 0.0, along = 0.0;
  for (int i = 0; i < 400; ++i) {
    // Uneven intervals along a straight, steady track, and one turn back.
    const double interval = i % 3 == 0 ? 2.0 : 1.0;
    time += interval;
    along += (i < 200 ? 20.0 : -20.0) * interval;
    const Eigen::Vector3d fix(along, 0.1 * time, 100.0);
    jitter.add(fix + shared + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)), time);
  }
  EXPECT_NEAR(jitter.scatter(6), 1.5, 0.15);
}

TEST(GpsJitter, ExactFixesScatterNotAtAllAndTooFewTellNothing) {
  GpsJitter jitter;
  for (int i = 0; i < 5; ++i) jitter.add(Eigen::Vector3d(30.0 * i, 5.0, 100.0), 0.0);
  EXPECT_EQ(jitter.scatter(6), HUGE_VAL);
  jitter.add(Eigen::Vector3d(150.0, 5.0, 100.0), 0.0);  // no times: evenly spaced
  EXPECT_NEAR(jitter.scatter(6), 0.0, 1e-9);
}

}  // namespace
}  // namespace sfm
