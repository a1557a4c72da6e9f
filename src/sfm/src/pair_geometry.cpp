#include "pair_geometry.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>
#include <opencv2/features2d.hpp>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

namespace sfm {
namespace {

constexpr double kMinSpread =
    0.01;  // normalised image units: least spread of the matches across their line

// Mutual nearest neighbours that pass the ratio test. The way back is searched only for the
// features that passed the way there.
std::vector<std::pair<int, int>> ratioMatches(const FrameFeatures& a, const FrameFeatures& b,
                                              double ratio) {
  std::vector<std::pair<int, int>> out;
  if (a.size() < 2 || b.size() < 2) return out;
  const int norm = a.descriptors.depth() == CV_8U ? cv::NORM_HAMMING : cv::NORM_L2;
  cv::BFMatcher matcher(norm);
  std::vector<std::vector<cv::DMatch>> forward;
  matcher.knnMatch(a.descriptors, b.descriptors, forward, 2);
  std::vector<std::pair<int, int>> passed;
  cv::Mat chosen;
  for (const auto& m : forward) {
    if (m.size() < 2 || m[0].distance >= ratio * m[1].distance) continue;
    passed.emplace_back(m[0].queryIdx, m[0].trainIdx);
    chosen.push_back(b.descriptors.row(m[0].trainIdx));
  }
  if (passed.empty()) return out;
  std::vector<cv::DMatch> backward;
  matcher.match(chosen, a.descriptors, backward);
  for (size_t i = 0; i < passed.size(); ++i) {
    if (backward[i].trainIdx == passed[i].first) out.push_back(passed[i]);
  }
  return out;
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
                const RefinementOptions& options, PairGeometry* geometry, std::string* reason) {
  const std::vector<std::pair<int, int>> candidates = ratioMatches(a, b, options.ratio);
  if (static_cast<int>(candidates.size()) < options.min_inliers) {
    *reason = "only " + std::to_string(candidates.size()) + " feature matches";
    return false;
  }
  std::vector<cv::Point2d> pa, pb;
  for (const auto& m : candidates) {
    pa.push_back(a.normalised[m.first]);
    pb.push_back(b.normalised[m.second]);
  }
  cv::Mat mask;
  const cv::Mat e = cv::findEssentialMat(pa, pb, 1.0, cv::Point2d(0, 0), cv::RANSAC, 0.999,
                                         options.ransac_threshold / focal, mask);
  if (e.rows != 3 || e.cols != 3) {
    *reason = "no essential matrix";
    return false;
  }
  cv::Mat r, t;
  const int inliers = cv::recoverPose(e, pa, pb, r, t, 1.0, cv::Point2d(0, 0), mask);
  if (inliers < options.min_inliers) {
    *reason = "only " + std::to_string(inliers) + " verified matches";
    return false;
  }
  Eigen::Matrix3d rotation;
  Eigen::Vector3d translation;
  cv::cv2eigen(r, rotation);
  cv::cv2eigen(t, translation);
  PairGeometry g;
  g.b_from_a = rotation;
  g.centre_b_in_a = -(rotation.transpose() * translation).normalized();
  std::vector<Eigen::Vector3d> rays_a, rays_b;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
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
