#include "pair_geometry.h"

#include "descriptor_matching.h"
#include "essential_motion.h"
#include "essential_ransac.h"
#include "framework/angles.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace sfm {
namespace {

constexpr double kMinSpread =
    0.01;  // normalised image units: least spread of the matches across their line
// The homography's search draws as many samples as the essential matrix's, seeded alike.
constexpr int kRansacIterations = EssentialSearch{}.max_samples;
constexpr uint64_t kRansacSeed = EssentialSearch{}.seed;
// Matches that a ground homography must fit before it guides a search near where it puts
// each feature; its inliers' distance in pixels of the reduced copy; and its samples.
constexpr int kLeastGuideMatches = 8;
constexpr double kGuideThreshold = 4.0;
constexpr int kGuideIterations = 2000;
// The guided searches' radii in pixels of the reduced copy, widest first. The matches each
// search finds fit a homography closer to the ground's than the one that guided it (many more
// matches), and a narrower window around where that one puts a feature leaves fewer furrows
// alike in it: on a furrowed field up to three times as many right matches pass the ratio test.
constexpr double kGuideRadii[] = {24.0, 8.0, 5.0};
// Least ratio of the areas a small patch covers in two views (either way round) for the ground
// homography's warp of it to be believed.
constexpr double kLeastWarpArea = 0.5;
// Motions fitting at least this share of the most matches any motion fits are told apart by
// the recorded baseline.
constexpr double kNearlyAllInliers = 0.8;

// Runs `estimate` with OpenCV's generator seeded alike for every pair: the samples drawn
// depend on the pair alone, not on the thread relating it or on what that thread drew
// before, so the same input gives the same poses.
template <typename Estimate>
cv::Mat seeded(Estimate estimate) {
  cv::RNG& rng = cv::theRNG();
  const uint64_t kept_state = rng.state;
  rng.state = kRansacSeed;
  cv::Mat out = estimate();
  rng.state = kept_state;
  return out;
}

// Where the ground a's features lie on shows in b, from the matches found anywhere: their
// homography in pixels, fitted loosely (the lens's unstated distortion and the relief bend
// the views of level ground from a homography by a few pixels). Nothing when too few matches
// agree on one.
std::optional<cv::Matx33d> groundHomography(const std::vector<std::pair<int, int>>& matches,
                                            const FrameFeatures& a, const FrameFeatures& b) {
  if (static_cast<int>(matches.size()) < kLeastGuideMatches) return std::nullopt;
  std::vector<cv::Point2f> pa, pb;
  for (const auto& [i, j] : matches) {
    pa.push_back(a.pixels[i]);
    pb.push_back(b.pixels[j]);
  }
  cv::Mat inliers;
  const double threshold = kGuideThreshold / b.scale;
  const cv::Mat h = seeded(
      [&] { return cv::findHomography(pa, pb, cv::RANSAC, threshold, inliers, kGuideIterations); });
  if (h.rows != 3 || h.cols != 3 || cv::countNonZero(inliers) < kLeastGuideMatches)
    return std::nullopt;
  return cv::Matx33d(h);
}

// The ground homography a related pair keeps, from its verified matches: only features that
// carry patches have them warped by it when they are placed finely; SIFT's, which place
// themselves, leave the fit (a RANSAC over every match) undone.
std::optional<cv::Matx33d> groundOfRelated(const std::vector<std::pair<int, int>>& matches,
                                           const FrameFeatures& a, const FrameFeatures& b) {
  if (a.patches.empty() || b.patches.empty()) return std::nullopt;
  return groundHomography(matches, a, b);
}

// Matches of a's features with b's within `radius` pixels of the reduced copy of where `ground`
// puts them: within a few pixels the ratio test tells the one right match of a faint field's
// features from the many alike elsewhere, so far more of them pass than anywhere in the image. The
// matches found anywhere that tie features these leave unmatched are kept too (features on relief
// beyond the window's reach).
std::vector<std::pair<int, int>> guidedMatches(const FrameFeatures& a, const FrameFeatures& b,
                                               const cv::Matx33d& ground, double radius,
                                               double ratio,
                                               const std::vector<std::pair<int, int>>& anywhere) {
  std::vector<cv::Point2f> expected;
  cv::perspectiveTransform(a.pixels, expected, cv::Mat(ground));
  std::vector<std::pair<int, int>> out =
      mutualMatches(a.descriptors, b.descriptors, ratio, &expected, b.pixels, radius / b.scale);
  std::vector<char> used_a(a.size(), 0), used_b(b.size(), 0);
  for (const auto& [i, j] : out) used_a[i] = used_b[j] = 1;
  for (const auto& [i, j] : anywhere)
    if (!used_a[i] && !used_b[j]) out.emplace_back(i, j);
  std::sort(out.begin(), out.end());
  return out;
}

// A motion that fits the matches: b sees a's point X at b_from_a * X + t.
struct Motion {
  Eigen::Matrix3d b_from_a = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  cv::Mat mask;  // the matches it fits, in front of both cameras
  int inliers = 0;
};

// The motion of the essential matrix the matches fit best, with those of the matches
// (`mask`, from the estimate) in front of both cameras. Only the estimate's inliers are
// tested: each match is tested on its own, and the others could not count anyway.
Motion motionOfEssential(const cv::Mat& e, const std::vector<cv::Point2d>& pa,
                         const std::vector<cv::Point2d>& pb, const cv::Mat& mask) {
  std::vector<cv::Point2d> ia, ib;
  std::vector<int> index;
  for (int i = 0; i < mask.rows; ++i) {
    if (!mask.at<uchar>(i)) continue;
    ia.push_back(pa[i]);
    ib.push_back(pb[i]);
    index.push_back(i);
  }
  Motion motion;
  motion.mask = cv::Mat::zeros(static_cast<int>(pa.size()), 1, CV_8U);
  if (index.empty()) return motion;
  const EssentialMotion found = motionInFront(e, ia, ib);
  for (size_t k = 0; k < index.size(); ++k)
    motion.mask.at<uchar>(index[k]) = found.in_front[k] ? 1 : 0;
  motion.b_from_a = found.b_from_a;
  motion.t = found.t;
  motion.inliers = found.count;
  return motion;
}

// A given motion with the matches within `threshold` of their epipolar lines (Sampson
// distance) whose rays meet in front of both cameras.
Motion motionWithMatches(const Eigen::Matrix3d& b_from_a, const Eigen::Vector3d& t,
                         const std::vector<cv::Point2d>& pa, const std::vector<cv::Point2d>& pb,
                         double threshold) {
  Motion motion;
  motion.b_from_a = b_from_a;
  motion.t = t.normalized();
  Eigen::Matrix3d cross;
  cross << 0, -motion.t.z(), motion.t.y(), motion.t.z(), 0, -motion.t.x(), -motion.t.y(),
      motion.t.x(), 0;
  const Eigen::Matrix3d e = cross * b_from_a;
  const Eigen::Vector3d centre_b = -(b_from_a.transpose() * motion.t);  // in a
  motion.mask = cv::Mat::zeros(static_cast<int>(pa.size()), 1, CV_8U);
  for (size_t i = 0; i < pa.size(); ++i) {
    const Eigen::Vector3d xa(pa[i].x, pa[i].y, 1.0), xb(pb[i].x, pb[i].y, 1.0);
    if (!withinSampson(e, xa, xb, threshold * threshold)) continue;
    // Depths along both rays of their nearest approach: da * ra = centre_b + db * rb.
    const Eigen::Vector3d ra = xa, rb = b_from_a.transpose() * xb;
    Eigen::Matrix2d m;
    m << ra.dot(ra), -ra.dot(rb), ra.dot(rb), -rb.dot(rb);
    const Eigen::Vector2d d =
        m.fullPivLu().solve(Eigen::Vector2d(ra.dot(centre_b), rb.dot(centre_b)));
    if (d.allFinite() && d[0] > 0.0 && d[1] > 0.0) {
      motion.mask.at<uchar>(static_cast<int>(i)) = 1;
      ++motion.inliers;
    }
  }
  return motion;
}

// Radians between the elevation of a motion's baseline and the recorded one's.
double elevationGap(const Motion& m, const RecordedBaseline& recorded) {
  const Eigen::Vector3d centre = -(recorded.local_from_a * m.b_from_a.transpose() * m.t);
  const double seen = std::asin(std::clamp(centre.normalized().z(), -1.0, 1.0));
  return std::abs(seen - std::asin(std::clamp(recorded.direction.normalized().z(), -1.0, 1.0)));
}

// Motions that fit the matches: the essential matrix's first, then, when the recorded
// baseline is to choose among them, those of the matches' homography (over level ground the
// essential matrix is barely determined: it may hold the mirror image of the motion, whose
// baseline points along the ground's normal, and its baseline is placed worse than the
// homography's).
std::vector<Motion> candidateMotions(const std::vector<cv::Point2d>& pa,
                                     const std::vector<cv::Point2d>& pb, double threshold,
                                     const RecordedBaseline* recorded) {
  std::vector<Motion> candidates;
  EssentialSearch search;
  search.threshold = threshold;
  const EssentialFit fit = fitEssential(pa, pb, search);
  if (!fit.e.empty()) candidates.push_back(motionOfEssential(fit.e, pa, pb, fit.mask));
  if (!recorded) return candidates;
  std::vector<cv::Point2f> fa(pa.begin(), pa.end()), fb(pb.begin(), pb.end());
  const cv::Mat h = seeded([&] {
    return cv::findHomography(fa, fb, cv::RANSAC, threshold, cv::noArray(), kRansacIterations);
  });
  if (h.rows != 3 || h.cols != 3) return candidates;
  std::vector<cv::Mat> rotations, translations, normals;
  cv::decomposeHomographyMat(h, cv::Mat::eye(3, 3, CV_64F), rotations, translations, normals);
  for (size_t k = 0; k < rotations.size(); ++k) {
    Eigen::Matrix3d r;
    Eigen::Vector3d t;
    cv::cv2eigen(rotations[k], r);
    cv::cv2eigen(translations[k], t);
    if (!(t.norm() > 1e-9)) continue;  // a turn without a baseline
    candidates.push_back(motionWithMatches(r, t, pa, pb, threshold));
  }
  return candidates;
}

// Of the motions fitting nearly as many matches as the best one, the one whose baseline
// rises or falls as the recorded one does; without a record, the essential matrix's.
bool chooseMotion(const std::vector<Motion>& candidates, const RecordedBaseline* recorded,
                  int min_inliers, Motion* motion, std::string* reason) {
  int best = 0;
  for (const Motion& m : candidates) best = std::max(best, m.inliers);
  if (candidates.empty()) {
    *reason = "no essential matrix";
    return false;
  }
  if (best < min_inliers) {
    *reason = "only " + std::to_string(best) + " verified matches";
    return false;
  }
  if (!recorded) {
    *motion = candidates.front();
    return motion->inliers >= min_inliers;
  }
  double least_gap = HUGE_VAL;
  for (const Motion& m : candidates) {
    if (m.inliers < min_inliers || m.inliers < kNearlyAllInliers * best) continue;
    const double gap = elevationGap(m, *recorded);
    if (gap < least_gap) {
      least_gap = gap;
      *motion = m;
    }
  }
  return least_gap < HUGE_VAL;
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
  return angles[angles.size() / 2] * 180.0 / fw::kPi;
}

// The pair's motion from candidate matches (a's feature, b's), verified as `relatePair` says.
bool verifyMatches(const FrameFeatures& a, const FrameFeatures& b,
                   const std::vector<std::pair<int, int>>& candidates, double focal,
                   const RefinementOptions& options, PairGeometry* geometry, std::string* reason,
                   const RecordedBaseline* recorded) {
  const double threshold = options.ransac_threshold / focal;
  // Half the matches a motion to place from needs still tie the frames.
  const int least_ties = (options.min_inliers + 1) / 2;
  if (static_cast<int>(candidates.size()) < least_ties) {
    *reason = "only " + std::to_string(candidates.size()) + " feature matches";
    return false;
  }
  std::vector<cv::Point2d> pa, pb;
  for (const auto& m : candidates) {
    pa.push_back(a.normalised[m.first]);
    pb.push_back(b.normalised[m.second]);
  }
  Motion motion;
  const std::vector<Motion> motions = candidateMotions(pa, pb, threshold, recorded);
  if (!chooseMotion(motions, recorded, options.min_inliers, &motion, reason) &&
      !chooseMotion(motions, recorded, least_ties, &motion, reason))
    return false;
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
  if (!g.centre_b_in_a.allFinite() || !g.b_from_a.allFinite()) {
    *reason = "no finite motion";
    return false;
  }
  if (inliers < options.min_inliers) {
    *reason = "only " + std::to_string(inliers) + " verified matches";
    g.ties_only = true;
    *geometry = std::move(g);
    return false;
  }
  if (!(g.parallax >= options.min_parallax)) {
    *reason = "too little parallax (" + std::to_string(g.parallax) + " degrees)";
    g.ties_only = true;
    *geometry = std::move(g);
    return false;
  }
  *geometry = std::move(g);
  return true;
}

}  // namespace

cv::Matx22f PairGeometry::warpAt(const cv::Point2f& a_pixel) const {
  if (ground) {
    const cv::Matx33d& h = *ground;
    const double x = a_pixel.x, y = a_pixel.y;
    const double w = h(2, 0) * x + h(2, 1) * y + h(2, 2);
    const double u = (h(0, 0) * x + h(0, 1) * y + h(0, 2)) / w;
    const double v = (h(1, 0) * x + h(1, 1) * y + h(1, 2)) / w;
    const cv::Matx22d warp((h(0, 0) - h(2, 0) * u) / w, (h(0, 1) - h(2, 1) * u) / w,
                           (h(1, 0) - h(2, 0) * v) / w, (h(1, 1) - h(2, 1) * v) / w);
    // Far from the matches a loosely fitted homography may fold or stretch the ground beyond
    // any survey's views of it: the turn alone then.
    const double area = cv::determinant(warp);
    if (area >= kLeastWarpArea && area <= 1.0 / kLeastWarpArea) return cv::Matx22f(warp);
  }
  const double spin = std::atan2(b_from_a(1, 0), b_from_a(0, 0));
  return cv::Matx22f(std::cos(spin), -std::sin(spin), std::sin(spin), std::cos(spin));
}

bool relatePair(const FrameFeatures& a, const FrameFeatures& b, double focal,
                const RefinementOptions& options, PairGeometry* geometry, std::string* reason,
                const std::vector<cv::Point2f>* a_in_b, double radius,
                const RecordedBaseline* recorded) {
  *geometry = PairGeometry();
  // Of the searches' matches that only tie the frames, the most.
  const auto verify = [&](const std::vector<std::pair<int, int>>& matches, std::string* why) {
    PairGeometry found;
    if (verifyMatches(a, b, matches, focal, options, &found, why, recorded)) {
      found.ground = groundOfRelated(found.matches, a, b);
      *geometry = std::move(found);
      return true;
    }
    if (found.ties_only && found.matches.size() > geometry->matches.size())
      *geometry = std::move(found);
    return false;
  };
  const std::vector<std::pair<int, int>> candidates =
      mutualMatches(a.descriptors, b.descriptors, options.ratio, a_in_b, b.pixels, radius);
  if (verify(candidates, reason)) return true;
  // Too few matches found anywhere agree: on faint, repetitive texture most of the right
  // ones fail the ratio test there. Near where the few that agree on the ground put them,
  // they pass; and nearer still where the many found so put them.
  std::vector<std::pair<int, int>> guide = candidates;
  for (const double guide_radius : kGuideRadii) {
    const std::optional<cv::Matx33d> ground = groundHomography(guide, a, b);
    if (!ground) return false;
    guide = guidedMatches(a, b, *ground, guide_radius, options.ratio, candidates);
    std::string guided_reason;
    if (verify(guide, &guided_reason)) return true;
    if (guided_reason.size()) *reason = guided_reason;
  }
  return false;
}

}  // namespace sfm
