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

// `n` matches of points at depths `nearest` to `farthest` seen from a and from
// b = turn * a + t, placed to `noise` (normalised units), of which `wrong_share` pair
// unrelated places.
Matches matches(cv::RNG& rng, int n, double wrong_share, double noise, const Eigen::Matrix3d& turn,
                const Eigen::Vector3d& t, double nearest, double farthest) {
  Matches m;
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d x = Eigen::Vector3d(rng.uniform(-0.5, 0.5), rng.uniform(-0.4, 0.4), 1.0) *
                              rng.uniform(nearest, farthest);
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

// The same of a deep scene and a general motion.
Matches matches(cv::RNG& rng, int n, double wrong_share, double noise) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.2, Eigen::Vector3d(0.3, -0.4, 1.0).normalized()).toRotationMatrix();
  return matches(rng, n, wrong_share, noise, turn, Eigen::Vector3d(1.0, 0.3, 0.1).normalized(), 4.0,
                 9.0);
}

Eigen::Matrix3d eigenOf(const cv::Mat& e) {
  Eigen::Matrix3d out;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out(r, c) = e.at<double>(r, c);
  return out;
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
    const Eigen::Matrix3d e = eigenOf(fit.e);
    EXPECT_LT(std::min((e - m.e).norm(), (e + m.e).norm()), 0.01) << wrong;
  }
}

// A straight leg with the camera's rows along it, over level ground and over relief: every
// match is kept, and over relief the motion is the true one (level ground fits its mirror
// image as well).
TEST(EssentialRansac, FindsStraightSidewaysFlight) {
  for (const double farthest : {5.0, 15.0}) {
    cv::RNG rng(4);
    const Matches m = matches(rng, 200, 0.0, 0.0, Eigen::Matrix3d::Identity(),
                              Eigen::Vector3d(1.0, 0.0, 0.0), 5.0, farthest);
    const EssentialFit fit = fitEssential(m.pa, m.pb, EssentialSearch());
    ASSERT_FALSE(fit.e.empty()) << farthest;
    EXPECT_EQ(fit.inliers, 200) << farthest;
    if (farthest == 5.0) continue;
    const Eigen::Matrix3d e = eigenOf(fit.e);
    EXPECT_LT(std::min((e - m.e).norm(), (e + m.e).norm()), 1e-6) << farthest;
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

// The inlier test measures the distance to the epipolar lines in both images; a match at
// which the model gives no line is no inlier, though its residual is zero too.
TEST(EssentialRansac, SampsonTestTakesMatchesNearTheirEpipolarLines) {
  Eigen::Matrix3d sideways;  // b beside a along x, no turn: matches share their row
  sideways << 0, 0, 0, 0, 0, -1, 0, 1, 0;
  const Eigen::Vector3d xa(0.1, 0.2, 1.0);
  const double squared = 1e-3 * 1e-3;
  EXPECT_TRUE(withinSampson(sideways, xa, Eigen::Vector3d(0.3, 0.2, 1.0), squared));
  // The Sampson distance shares a row gap between both images: up to root two thresholds.
  EXPECT_TRUE(withinSampson(sideways, xa, Eigen::Vector3d(0.3, 0.2014, 1.0), squared));
  EXPECT_FALSE(withinSampson(sideways, xa, Eigen::Vector3d(0.3, 0.2015, 1.0), squared));
  EXPECT_FALSE(withinSampson(sideways, xa, Eigen::Vector3d(0.3, 0.5, 1.0), squared));
  // The baseline points at the match in both images: no epipolar line there.
  Eigen::Matrix3d forward;
  forward << 0, -1, 0, 1, 0, 0, 0, 0, 0;
  const Eigen::Vector3d centre(0.0, 0.0, 1.0);
  EXPECT_FALSE(withinSampson(forward, centre, centre, squared));
  EXPECT_FALSE(withinSampson(Eigen::Matrix3d::Zero(), xa, xa, squared));
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
