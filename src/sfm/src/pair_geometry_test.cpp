#include "pair_geometry.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

namespace sfm {
namespace {

// Features of two views of the same points (identical descriptors), seen by a camera of
// focal length 500 at the origin and by one rotated by `b_from_a` at `centre_b`.
std::pair<FrameFeatures, FrameFeatures> views(const std::vector<Eigen::Vector3d>& points,
                                              const Eigen::Matrix3d& b_from_a,
                                              const Eigen::Vector3d& centre_b) {
  FrameFeatures a, b;
  cv::RNG rng(5);
  for (const Eigen::Vector3d& p : points) {
    const Eigen::Vector3d q = b_from_a * (p - centre_b);
    for (auto [f, x] : {std::pair<FrameFeatures*, Eigen::Vector3d>{&a, p}, {&b, q}}) {
      f->normalised.emplace_back(x.x() / x.z(), x.y() / x.z());
      f->pixels.emplace_back(float(500 * x.x() / x.z() + 320), float(500 * x.y() / x.z() + 240));
    }
    cv::Mat descriptor(1, 32, CV_8U);
    rng.fill(descriptor, cv::RNG::UNIFORM, 0, 256);
    a.descriptors.push_back(descriptor);
    b.descriptors.push_back(descriptor);
  }
  return {a, b};
}

std::vector<Eigen::Vector3d> ground(int n) {
  cv::RNG rng(3);
  std::vector<Eigen::Vector3d> points;
  for (int i = 0; i < n; ++i)
    points.emplace_back(rng.uniform(-40.0, 40.0), rng.uniform(-30.0, 30.0),
                        100.0 + rng.uniform(-15.0, 15.0));
  return points;
}

TEST(RelatePair, RecoversTheMotionAndRefusesDegenerateViews) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.05, Eigen::Vector3d(0.2, 0.3, 1.0).normalized()).toRotationMatrix();
  RefinementOptions options;
  PairGeometry g;
  std::string reason;
  auto [a, b] = views(ground(300), turn, {20.0, 3.0, 1.0});
  ASSERT_TRUE(relatePair(a, b, 500.0, options, &g, &reason)) << reason;
  EXPECT_EQ(g.matches.size(), 300u);
  EXPECT_LT(Eigen::AngleAxisd(g.b_from_a * turn.transpose()).angle(), 1e-6);
  EXPECT_LT((g.centre_b_in_a - Eigen::Vector3d(20.0, 3.0, 1.0).normalized()).norm(), 1e-6);

  // The same place, turned only: no baseline to tell.
  std::tie(a, b) = views(ground(300), turn, Eigen::Vector3d::Zero());
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  // Too few common features.
  std::tie(a, b) = views(ground(20), turn, {20.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  EXPECT_NE(reason.find("matches"), std::string::npos);
  // Every point on one line.
  std::vector<Eigen::Vector3d> line;
  for (int i = 0; i < 300; ++i) line.emplace_back(-30.0 + 0.2 * i, 0.1 * i - 15.0, 100.0);
  std::tie(a, b) = views(line, turn, {20.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
}

}  // namespace
}  // namespace sfm
