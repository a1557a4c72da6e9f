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

// Five points seen from a and from b = turn * a + t, spread over `depth_spread` beyond a
// depth of five (none: a level plane facing the camera).
Sample sample(cv::RNG& rng, const Eigen::Matrix3d& turn, const Eigen::Vector3d& t,
              double depth_spread) {
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

Sample sample(cv::RNG& rng, double depth_spread) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(
          rng.uniform(-0.5, 0.5),
          Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), 1.0).normalized())
          .toRotationMatrix();
  const Eigen::Vector3d t =
      Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), rng.uniform(-0.5, 0.5))
          .normalized();
  return sample(rng, turn, t, depth_spread);
}

// The distance of the nearest solution to the true E, either sign.
double nearestToTruth(const Sample& s, const std::vector<Eigen::Matrix3d>& solutions) {
  double closest = HUGE_VAL;
  for (const Eigen::Matrix3d& e : solutions)
    closest = std::min({closest, (e - s.e).norm(), (e + s.e).norm()});
  return closest;
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

// The motions a survey flies most: straight along a row of the image or across it, without
// a turn or with one barely there, over level ground or a deep scene. The basis the solver
// works in must not line up with such an E.
TEST(FivePoint, FindsTheTrueEssentialMatrixOfStraightSidewaysFlight) {
  const Eigen::Vector3d baselines[] = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0.6, 0.8, 0}};
  const double turns[] = {0.0, 1e-6, 1e-3};
  cv::RNG rng(23);
  for (const Eigen::Vector3d& t : baselines)
    for (double angle : turns)
      for (double depth_spread : {0.0, 10.0})
        for (int trial = 0; trial < 20; ++trial) {
          const Eigen::Matrix3d turn =
              Eigen::AngleAxisd(angle, Eigen::Vector3d(0.2, -0.3, 1.0).normalized())
                  .toRotationMatrix();
          const Sample s = sample(rng, turn, t, depth_spread);
          EXPECT_LT(nearestToTruth(s, essentialsOfFive(s.a, s.b)), 1e-6)
              << "baseline " << t.transpose() << ", turn " << angle << ", depths " << depth_spread
              << ", trial " << trial;
        }
}

// A model is counted once: no two solutions are the same matrix, either sign.
TEST(FivePoint, GivesEachSolutionOnce) {
  cv::RNG rng(29);
  for (int trial = 0; trial < 200; ++trial) {
    const Sample s = trial % 3 ? sample(rng, trial % 2 ? 10.0 : 0.0)
                               : sample(rng, Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 0, 0),
                                        trial % 2 ? 10.0 : 0.0);
    const std::vector<Eigen::Matrix3d> solutions = essentialsOfFive(s.a, s.b);
    for (size_t i = 0; i < solutions.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        EXPECT_GT(
            std::min((solutions[i] - solutions[j]).norm(), (solutions[i] + solutions[j]).norm()),
            1e-6)
            << trial;
  }
}

TEST(FivePoint, GivesNoneForDegenerateSamples) {
  std::array<Eigen::Vector2d, 5> same;
  for (int i = 0; i < 5; ++i) same[i] = Eigen::Vector2d(0.1, 0.1);
  EXPECT_TRUE(essentialsOfFive(same, same).empty());
  // Four distinct matches and one of them again: four constraints only.
  cv::RNG rng(31);
  Sample repeated = sample(rng, 10.0);
  repeated.a[4] = repeated.a[1];
  repeated.b[4] = repeated.b[1];
  EXPECT_TRUE(essentialsOfFive(repeated.a, repeated.b).empty());
  std::array<Eigen::Vector2d, 5> nan = same;
  nan[2] = Eigen::Vector2d(NAN, 0.0);
  EXPECT_TRUE(essentialsOfFive(nan, same).empty());
}

}  // namespace
}  // namespace sfm
