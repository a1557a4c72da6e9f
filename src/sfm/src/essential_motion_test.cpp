#include "essential_motion.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <Eigen/Geometry>

#include <stdexcept>

namespace sfm {
namespace {

struct Scene {
  std::vector<cv::Point2d> pa, pb;
  cv::Mat e;
};

// Points `depth` +- 30% in front of a (a few behind it or b where `behind` is set), seen by b
// at b_from_a * X + t, placed to `noise` in normalised units; `wrong` of the matches pair
// unrelated places.
Scene scene(cv::RNG& rng, const Eigen::Matrix3d& b_from_a, const Eigen::Vector3d& t, int n,
            double depth, double noise, int wrong, bool behind = false) {
  Scene s;
  for (int i = 0; i < n; ++i) {
    Eigen::Vector3d x(rng.uniform(-0.5, 0.5), rng.uniform(-0.4, 0.4), 1.0);
    x *= depth * rng.uniform(0.7, 1.3);
    if (behind && i % 7 == 0) x = -x;
    const Eigen::Vector3d y = b_from_a * x + t;
    s.pa.emplace_back(x.x() / x.z() + rng.gaussian(noise), x.y() / x.z() + rng.gaussian(noise));
    s.pb.emplace_back(y.x() / y.z() + rng.gaussian(noise), y.y() / y.z() + rng.gaussian(noise));
  }
  for (int i = 0; i < wrong; ++i) std::swap(s.pb[rng.uniform(0, n)], s.pb[rng.uniform(0, n)]);
  Eigen::Matrix3d cross;
  cross << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
  cv::eigen2cv(Eigen::Matrix3d(cross * b_from_a), s.e);
  return s;
}

// The matches an estimate of the essential matrix keeps (within its threshold of their
// epipolar lines), as relating a pair tests them.
Scene inliersOfEstimate(const Scene& s, double threshold) {
  Scene kept;
  cv::Mat mask;
  kept.e = cv::findEssentialMat(s.pa, s.pb, 1.0, cv::Point2d(0, 0), cv::RANSAC, 0.999, threshold,
                                250, mask);
  for (size_t i = 0; i < s.pa.size(); ++i) {
    if (!mask.at<uchar>(static_cast<int>(i))) continue;
    kept.pa.push_back(s.pa[i]);
    kept.pb.push_back(s.pb[i]);
  }
  return kept;
}

// The library's test triangulates every match for each of the four motions; the closed-form
// depths must choose the same motion and the same matches among those that fit the essential
// matrix (rays that nearly meet), wrong matches, noise, points behind and far ones included.
// The two triangulations differ within the noise, so a match whose depth sits on the edge of
// a test (nearly at the farthest depth, or level with a camera) may tell the other way: one in
// a thousand at most.
TEST(EssentialMotion, ChoosesTheMotionAndMatchesTheLibrarysTestDoes) {
  cv::RNG rng(21);
  int compared = 0, differing = 0;
  for (int trial = 0; trial < 60; ++trial) {
    const Eigen::Matrix3d turn =
        Eigen::AngleAxisd(
            rng.uniform(-0.3, 0.3),
            Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), 1.0).normalized())
            .toRotationMatrix();
    const Eigen::Vector3d t =
        Eigen::Vector3d(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), rng.uniform(-0.3, 0.3))
            .normalized();
    const Scene s = inliersOfEstimate(scene(rng, turn, t, 200, rng.uniform(2.0, 40.0),
                                            3e-4 * (trial % 3), trial % 4 * 10, trial % 5 == 0),
                                      1e-3);
    ASSERT_EQ(s.e.rows, 3) << trial;
    cv::Mat r, library_t, mask = cv::Mat::ones(static_cast<int>(s.pa.size()), 1, CV_8U);
    const int library_count =
        cv::recoverPose(s.e, s.pa, s.pb, r, library_t, 1.0, cv::Point2d(0, 0), mask);
    const EssentialMotion mine = motionInFront(s.e, s.pa, s.pb);
    Eigen::Matrix3d library_r;
    Eigen::Vector3d library_tv;
    cv::cv2eigen(r, library_r);
    cv::cv2eigen(library_t, library_tv);
    EXPECT_NEAR(mine.count, library_count, 2) << trial;
    EXPECT_EQ(mine.b_from_a, library_r) << trial;
    EXPECT_EQ(mine.t, library_tv) << trial;
    ASSERT_EQ(mine.in_front.size(), s.pa.size());
    for (size_t i = 0; i < s.pa.size(); ++i)
      differing += (mine.in_front[i] != 0) != (mask.at<uchar>(static_cast<int>(i)) != 0);
    compared += static_cast<int>(s.pa.size());
  }
  EXPECT_GT(compared, 60 * 100);
  EXPECT_LE(differing * 1000, compared);
}

TEST(EssentialMotion, FindsTheTrueMotionAndLeavesOutFarAndBehindPoints) {
  cv::RNG rng(4);
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.1, Eigen::Vector3d(0.3, -0.2, 1.0).normalized()).toRotationMatrix();
  const Eigen::Vector3d t = Eigen::Vector3d(0.9, 0.2, 0.1).normalized();
  Scene s = scene(rng, turn, t, 100, 5.0, 0.0, 0);
  // The essential matrix is known up to sign; either way the motion is the same.
  for (const double sign : {1.0, -1.0}) {
    const EssentialMotion m = motionInFront(sign * s.e, s.pa, s.pb);
    EXPECT_EQ(m.count, 100);
    EXPECT_LT(Eigen::AngleAxisd(m.b_from_a * turn.transpose()).angle(), 1e-9);
    EXPECT_LT((m.t - t).norm(), 1e-9);
  }
  // A point straight ahead far beyond the farthest depth, and one behind both cameras.
  const Eigen::Vector3d far(0.1, 0.05, 1.0), behind(0.2, -0.1, -4.0);
  for (const Eigen::Vector3d& x : {Eigen::Vector3d(far * 2.0 * kFarthestDepth), behind}) {
    const Eigen::Vector3d y = turn * x + t;
    s.pa.emplace_back(x.x() / x.z(), x.y() / x.z());
    s.pb.emplace_back(y.x() / y.z(), y.y() / y.z());
  }
  const EssentialMotion m = motionInFront(s.e, s.pa, s.pb);
  EXPECT_EQ(m.count, 100);
  EXPECT_FALSE(m.in_front[100]);
  EXPECT_FALSE(m.in_front[101]);
}

TEST(EssentialMotion, RefusesMalformedInputAndCountsNoMatches) {
  const std::vector<cv::Point2d> one = {{0.1, 0.2}};
  EXPECT_THROW(motionInFront(cv::Mat::eye(3, 4, CV_64F), one, one), std::invalid_argument);
  EXPECT_THROW(motionInFront(cv::Mat::eye(3, 3, CV_32F), one, one), std::invalid_argument);
  EXPECT_THROW(motionInFront(cv::Mat::eye(3, 3, CV_64F), one, {}), std::invalid_argument);
  cv::Mat e = (cv::Mat_<double>(3, 3) << 0, -0.1, 0, 0.1, 0, -1, 0, 1, 0);
  const EssentialMotion none = motionInFront(e, {}, {});
  EXPECT_EQ(none.count, 0);
  EXPECT_TRUE(none.in_front.empty());
}

}  // namespace
}  // namespace sfm
