#include "pair_geometry.h"

#include "descriptor_matching.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sfm {
namespace {

constexpr double kMinSpread =
    0.01;  // normalised image units: least spread of the matches across their line
constexpr int kRansacIterations = 250;  // enough when half the matches are wrong
constexpr uint64_t kRansacSeed = 0x5eed;

// Mutual nearest neighbours of the rows of `query` among the rows of `train` that pass the
// ratio test: (query row, train row). The way back is searched only for the rows that
// passed the way there.
// With `query_in_train` (and the train rows' pixels `train_at`), only rows within `radius`
// of where each is expected are compared, both ways.
std::vector<std::pair<int, int>> ratioMatches(const cv::Mat& query, const cv::Mat& train,
                                              double ratio,
                                              const std::vector<cv::Point2f>* query_in_train,
                                              const std::vector<cv::Point2f>& train_at,
                                              double radius) {
  std::vector<std::pair<int, int>> out;
  if (query.rows < 2 || train.rows < 2) return out;
  std::vector<std::pair<int, int>> passed;
  cv::Mat chosen;
  std::vector<cv::Point2f> chosen_at;
  const bool windowed = query_in_train && radius > 0.0;
  const std::vector<NearestTwo> forward =
      windowed ? nearestTwoWithin(query, *query_in_train, train, train_at, radius)
               : nearestTwo(query, train);
  for (size_t i = 0; i < forward.size(); ++i) {
    const NearestTwo& m = forward[i];
    if (m.best < 0 || !(m.best_distance < ratio * m.second_distance)) continue;
    passed.emplace_back(int(i), m.best);
    chosen.push_back(train.row(m.best));
    chosen_at.push_back(train_at[m.best]);
  }
  if (passed.empty()) return out;
  const std::vector<NearestTwo> backward =
      windowed ? nearestTwoWithin(chosen, chosen_at, query, *query_in_train, radius)
               : nearestTwo(chosen, query);
  for (size_t i = 0; i < passed.size(); ++i) {
    if (backward[i].best == passed[i].first) out.push_back(passed[i]);
  }
  return out;
}

// The essential matrix of the matches and the motion it holds: false with the reason when
// fewer than `min_inliers` agree.
struct Motion {
  Eigen::Matrix3d b_from_a;
  Eigen::Vector3d t;  // b sees a's point X at b_from_a * X + t
  cv::Mat mask;
  int inliers = 0;
};

bool motionOf(const std::vector<cv::Point2d>& pa, const std::vector<cv::Point2d>& pb,
              double threshold, int min_inliers, Motion* motion, std::string* reason) {
  // The samples drawn depend on the pair alone, not on the thread relating it or on what
  // that thread drew before: the same input gives the same poses.
  cv::RNG& rng = cv::theRNG();
  const uint64_t kept_state = rng.state;
  rng.state = kRansacSeed;
  const cv::Mat e = cv::findEssentialMat(pa, pb, 1.0, cv::Point2d(0, 0), cv::RANSAC, 0.999,
                                         threshold, kRansacIterations, motion->mask);
  rng.state = kept_state;
  if (e.rows != 3 || e.cols != 3) {
    *reason = "no essential matrix";
    return false;
  }
  cv::Mat r, t;
  motion->inliers = cv::recoverPose(e, pa, pb, r, t, 1.0, cv::Point2d(0, 0), motion->mask);
  if (motion->inliers < min_inliers) {
    *reason = "only " + std::to_string(motion->inliers) + " verified matches";
    return false;
  }
  cv::cv2eigen(r, motion->b_from_a);
  cv::cv2eigen(t, motion->t);
  return true;
}

// Median angle, in degrees, left between matched rays by the rotation that best aligns them:
// close to 0 for views from one place (or a pure rotation), whatever the essential matrix.
double parallaxOf(const std::vector<Eigen::Vector3d>& a, const std::vector<Eigen::Vector3d>& b) {
  Eigen::Matrix3d correlation = Eigen::Matrix3d::Zero();
  for (size_t i = 0; i < a.size(); ++i) correlation += b[i] * a[i].transpose();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(correlation,
                                              Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d fix = Eigen::Matrix3d::Identity();
  fix(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0 ? -1.0 : 1.0;
  const Eigen::Matrix3d b_from_a = svd.matrixU() * fix * svd.matrixV().transpose();
  std::vector<double> angles;
  for (size_t i = 0; i < a.size(); ++i)
    angles.push_back(std::acos(std::clamp((b_from_a * a[i]).dot(b[i]), -1.0, 1.0)));
  std::nth_element(angles.begin(), angles.begin() + angles.size() / 2, angles.end());
  return angles[angles.size() / 2] * 180.0 / M_PI;
}

}  // namespace

bool relatePair(const FrameFeatures& a, const FrameFeatures& b, double focal,
                const RefinementOptions& options, PairGeometry* geometry, std::string* reason,
                const std::vector<cv::Point2f>* a_in_b, double radius) {
  const double threshold = options.ransac_threshold / focal;
  const std::vector<std::pair<int, int>> candidates =
      ratioMatches(a.descriptors, b.descriptors, options.ratio, a_in_b, b.pixels, radius);
  if (static_cast<int>(candidates.size()) < options.min_inliers) {
    *reason = "only " + std::to_string(candidates.size()) + " feature matches";
    return false;
  }
  std::vector<cv::Point2d> pa, pb;
  for (const auto& m : candidates) {
    pa.push_back(a.normalised[m.first]);
    pb.push_back(b.normalised[m.second]);
  }
  Motion motion;
  if (!motionOf(pa, pb, threshold, options.min_inliers, &motion, reason)) return false;
  PairGeometry g;
  g.b_from_a = motion.b_from_a;
  g.centre_b_in_a = -(motion.b_from_a.transpose() * motion.t).normalized();
  std::vector<Eigen::Vector3d> rays_a, rays_b;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  const cv::Mat& mask = motion.mask;
  const int inliers = motion.inliers;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!mask.at<uchar>(static_cast<int>(i))) continue;
    g.matches.push_back(candidates[i]);
    rays_a.push_back(Eigen::Vector3d(pa[i].x, pa[i].y, 1.0).normalized());
    rays_b.push_back(Eigen::Vector3d(pb[i].x, pb[i].y, 1.0).normalized());
    mean += Eigen::Vector2d(pa[i].x, pa[i].y) / inliers;
  }
  // Matches along one line fit a whole family of motions.
  Eigen::Matrix2d spread = Eigen::Matrix2d::Zero();
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!mask.at<uchar>(static_cast<int>(i))) continue;
    const Eigen::Vector2d d = Eigen::Vector2d(pa[i].x, pa[i].y) - mean;
    spread += d * d.transpose() / inliers;
  }
  if (!(std::sqrt(Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(spread).eigenvalues()(0)) >=
        kMinSpread)) {
    *reason = "the matches lie along a line";
    return false;
  }
  g.parallax = parallaxOf(rays_a, rays_b);
  if (!(g.parallax >= options.min_parallax) || !g.centre_b_in_a.allFinite() ||
      !g.b_from_a.allFinite()) {
    *reason = "too little parallax (" + std::to_string(g.parallax) + " degrees)";
    return false;
  }
  *geometry = std::move(g);
  return true;
}

}  // namespace sfm
