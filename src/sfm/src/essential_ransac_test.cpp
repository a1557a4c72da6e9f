#include "essential_ransac.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <stdexcept>

namespace sfm {
namespace {

struct Matches {
  std::vector<cv::Point2d> pa, pb;
  std::vector<bool> right;
  Eigen::Matrix3d e;  // the true one, unit norm
};

// `n` matches of a deep scene, placed to `noise` (normalised units), of which `wrong_share`
// pair unrelated places.
Matches matches(cv::RNG& rng, int n, double wrong_share, double noise) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.2, Eigen::Vector3d(0.3, -0.4, 1.0).normalized()).toRotationMatrix();
  const Eigen::Vector3d t = Eigen::Vector3d(1.0, 0.3, 0.1).normalized();
  Matches m;
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d x = Eigen::Vector3d(rng.uniform(-0.5, 0.5), rng.uniform(-0.4, 0.4), 1.0) *
                              rng.uniform(4.0, 9.0);
    const Eigen::Vector3d y = turn * x + t;
    const bool wrong = rng.uniform(0.0, 1.0) < wrong_share;
    m.pa.emplace_back(x.x() / x.z() + rng.gaussian(noise), x.y() / x.z() + rng.gaussian(noise));
    m.pb.push_back(wrong ? cv::Point2d(rng.uniform(-0.6, 0.6), rng.uniform(-0.5, 0.5))
                         : cv::Point2d(y.x() / y.z() + rng.gaussian(noise),
                                       y.y() / y.z() + rng.gaussian(noise)));
    m.right.push_back(!wrong);
  }
  Eigen::Matrix3d cross;
  cross << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
  m.e = cross * turn;
  m.e /= m.e.norm();
  return m;
}

// Half the matches wrong, as across strips: the fit keeps the right ones and the motion.
TEST(EssentialRansac, FindsTheMatchesAndTheMotionAmongWrongOnes) {
  for (const double wrong : {0.0, 0.2, 0.5}) {
    cv::RNG rng(9);
    const Matches m = matches(rng, 400, wrong, 2e-4);
    const EssentialFit fit = fitEssential(m.pa, m.pb, EssentialSearch());
    ASSERT_FALSE(fit.e.empty()) << wrong;
    int right_kept = 0, wrong_kept = 0, right = 0;
    for (size_t i = 0; i < m.pa.size(); ++i) {
      const bool kept = fit.mask.at<uchar>(static_cast<int>(i));
      (m.right[i] ? right_kept : wrong_kept) += kept;
      right += m.right[i];
    }
    EXPECT_EQ(fit.inliers, right_kept + wrong_kept);
    EXPECT_GE(right_kept, right * 97 / 100) << wrong;
    EXPECT_LE(wrong_kept, 0.02 * m.pa.size()) << wrong;  // near an epipolar line by chance
    Eigen::Matrix3d e;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) e(r, c) = fit.e.at<double>(r, c);
    EXPECT_LT(std::min((e - m.e).norm(), (e + m.e).norm()), 0.01) << wrong;
  }
}

// The same matches give the same fit, whatever was drawn before and on whichever thread.
TEST(EssentialRansac, IsRepeatable) {
  cv::RNG rng(2);
  const Matches m = matches(rng, 300, 0.4, 3e-4);
  const EssentialFit first = fitEssential(m.pa, m.pb, EssentialSearch());
  cv::theRNG().next();
  const EssentialFit again = fitEssential(m.pa, m.pb, EssentialSearch());
  EXPECT_EQ(cv::countNonZero(first.e != again.e), 0);
  EXPECT_EQ(cv::countNonZero(first.mask != again.mask), 0);
}

TEST(EssentialRansac, NeedsFiveMatchesAndRefusesUnpairedOnes) {
  const std::vector<cv::Point2d> four = {{0, 0}, {0.1, 0}, {0, 0.1}, {0.1, 0.1}};
  const EssentialFit none = fitEssential(four, four, EssentialSearch());
  EXPECT_TRUE(none.e.empty());
  EXPECT_EQ(none.inliers, 0);
  EXPECT_EQ(none.mask.rows, 4);
  EXPECT_THROW(fitEssential(four, {}, EssentialSearch()), std::invalid_argument);
}

// Samples to draw: one for all inliers; more as the share falls; the cap when it is too low.
TEST(EssentialRansac, DrawsAsManySamplesAsTheInlierShareCalls) {
  EXPECT_EQ(samplesNeeded(0.999, 1.0, 5, 250), 1);
  EXPECT_EQ(samplesNeeded(0.999, 0.8, 5, 250), 18);  // log(0.001) / log(1 - 0.8^5)
  EXPECT_EQ(samplesNeeded(0.999, 0.5, 5, 250), 218);
  EXPECT_EQ(samplesNeeded(0.999, 0.3, 5, 250), 250);
  EXPECT_EQ(samplesNeeded(0.999, 0.0, 5, 250), 250);
  EXPECT_LT(samplesNeeded(0.99, 0.5, 5, 250), samplesNeeded(0.999, 0.5, 5, 250));
}

}  // namespace
}  // namespace sfm
