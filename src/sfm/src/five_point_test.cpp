#include "five_point.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <Eigen/Geometry>

namespace sfm {
namespace {

struct Sample {
  std::array<Eigen::Vector2d, 5> a, b;
  Eigen::Matrix3d e;  // the true one, unit norm
};

Sample sample(cv::RNG& rng, double depth_spread) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(
          rng.uniform(-0.5, 0.5),
          Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), 1.0).normalized())
          .toRotationMatrix();
  const Eigen::Vector3d t =
      Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), rng.uniform(-0.5, 0.5))
          .normalized();
  Sample s;
  for (int i = 0; i < 5; ++i) {
    const Eigen::Vector3d x = Eigen::Vector3d(rng.uniform(-0.5, 0.5), rng.uniform(-0.4, 0.4), 1.0) *
                              rng.uniform(5.0, 5.0 + depth_spread);
    const Eigen::Vector3d y = turn * x + t;
    s.a[i] = x.hnormalized();
    s.b[i] = y.hnormalized();
  }
  Eigen::Matrix3d cross;
  cross << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
  s.e = cross * turn;
  s.e /= s.e.norm();
  return s;
}

// Over many random motions and scenes (flat and deep): every solution fits the five matches
// and is an essential matrix, and one of them is the true one.
TEST(FivePoint, FindsTheTrueEssentialMatrixAmongItsSolutions) {
  cv::RNG rng(17);
  int found = 0;
  constexpr int kTrials = 500;
  for (int trial = 0; trial < kTrials; ++trial) {
    const Sample s = sample(rng, trial % 2 ? 10.0 : 0.5);
    const std::vector<Eigen::Matrix3d> solutions = essentialsOfFive(s.a, s.b);
    EXPECT_LE(solutions.size(), 10u);
    double closest = HUGE_VAL;
    for (const Eigen::Matrix3d& e : solutions) {
      for (int i = 0; i < 5; ++i)
        EXPECT_NEAR(s.b[i].homogeneous().dot(e * s.a[i].homogeneous()), 0.0, 1e-8) << trial;
      const Eigen::Vector3d sigma = Eigen::JacobiSVD<Eigen::Matrix3d>(e).singularValues();
      EXPECT_NEAR(sigma[0], sigma[1], 1e-6) << trial;
      EXPECT_NEAR(sigma[2], 0.0, 1e-6) << trial;
      closest = std::min({closest, (e - s.e).norm(), (e + s.e).norm()});
    }
    found += closest < 1e-6;
  }
  // A few random samples are nearly degenerate; the search draws others.
  EXPECT_GE(found, kTrials * 99 / 100);
}

TEST(FivePoint, GivesNoneForDegenerateSamples) {
  std::array<Eigen::Vector2d, 5> same;
  for (int i = 0; i < 5; ++i) same[i] = Eigen::Vector2d(0.1, 0.1);
  EXPECT_TRUE(essentialsOfFive(same, same).size() <= 10u);
  std::array<Eigen::Vector2d, 5> nan = same;
  nan[2] = Eigen::Vector2d(NAN, 0.0);
  EXPECT_TRUE(essentialsOfFive(nan, same).empty());
}

}  // namespace
}  // namespace sfm
