#include "src/PointsFusion/src/stereo_dense/pair_motion.h"

#include "src/PointsFusion/src/stereo_dense/mutual_matches.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace pair_motion {

namespace {

// Low-contrast field texture: corners down to a faint step, Harris-ranked.
constexpr int kFastThreshold = 7;
// A match must be clearly better than the second best, both ways.
constexpr double kRatio = 0.8;
constexpr double kConfidence = 0.999;
constexpr uint64_t kRansacSeed = 0x5eed;

// The image at most kMatchWidth wide, in grey; `sx`, `sy` its pixels per image pixel.
cv::Mat greyAtMatchSize(const cv::Mat& image, double& sx, double& sy) {
  cv::Mat small = image;
  // Reduced first: converting a large colour image would cost more than the matching.
  if (image.cols > kMatchWidth) {
    const double scale = double(kMatchWidth) / image.cols;
    const cv::Size size(kMatchWidth, std::max(1, int(std::lround(image.rows * scale))));
    cv::resize(image, small, size, 0, 0, cv::INTER_AREA);
  }
  sx = double(small.cols) / image.cols;
  sy = double(small.rows) / image.rows;
  cv::Mat grey;
  if (small.channels() == 3)
    cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  else if (small.channels() == 4)
    cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
  else
    grey = small;
  return grey;
}

double angleDegrees(double cosine) {
  return std::acos(std::clamp(cosine, -1.0, 1.0)) * 180.0 / CV_PI;
}

}  // namespace

ViewFeatures featuresOf(const cv::Mat& image, const cv::Mat& K, const cv::Mat& D) {
  ViewFeatures features;
  if (image.empty() || image.depth() != CV_8U) return features;
  double sx = 1.0, sy = 1.0;
  const cv::Mat grey = greyAtMatchSize(image, sx, sy);
  const cv::Ptr<cv::ORB> orb =
      cv::ORB::create(kFeatures, 1.2f, 8, 31, 0, 2, cv::ORB::HARRIS_SCORE, 31, kFastThreshold);
  std::vector<cv::KeyPoint> points;
  orb->detectAndCompute(grey, cv::noArray(), points, features.descriptors);
  if (points.empty()) return features;
  // Pixel centres: reduced pixel x lies at image coordinate (x + 0.5) / sx - 0.5.
  std::vector<cv::Point2d> pixels;
  pixels.reserve(points.size());
  for (const cv::KeyPoint& p : points)
    pixels.emplace_back((p.pt.x + 0.5) / sx - 0.5, (p.pt.y + 0.5) / sy - 0.5);
  cv::undistortPoints(pixels, features.points, K, D);
  return features;
}

Correspondences matchFeatures(const ViewFeatures& first, const ViewFeatures& second) {
  Correspondences matches;
  if (first.descriptors.rows != int(first.points.size()) ||
      second.descriptors.rows != int(second.points.size()))
    return matches;
  for (const auto& [i, j] : mutual_matches::find(first.descriptors, second.descriptors, kRatio)) {
    matches.first.push_back(first.points[i]);
    matches.second.push_back(second.points[j]);
  }
  return matches;
}

Correspondences matchViews(const cv::Mat& image1, const cv::Mat& K1, const cv::Mat& D1,
                           const cv::Mat& image2, const cv::Mat& K2, const cv::Mat& D2) {
  return matchFeatures(featuresOf(image1, K1, D1), featuresOf(image2, K2, D2));
}

double epipolarError(const Correspondences& matches, const cv::Matx33d& R, const cv::Vec3d& t,
                     double focal) {
  const double length = cv::norm(t);
  const size_t n = std::min(matches.first.size(), matches.second.size());
  if (n == 0 || !(length > 0.0)) return std::numeric_limits<double>::infinity();
  const cv::Vec3d u = t * (1.0 / length);
  const cv::Matx33d skew(0, -u[2], u[1], u[2], 0, -u[0], -u[1], u[0], 0);
  const cv::Matx33d E = skew * R;
  std::vector<double> distances(n);
  for (size_t i = 0; i < n; ++i) {
    const cv::Vec3d x1(matches.first[i].x, matches.first[i].y, 1.0);
    const cv::Vec3d x2(matches.second[i].x, matches.second[i].y, 1.0);
    const cv::Vec3d line2 = E * x1, line1 = E.t() * x2;
    const double residual = std::fabs(x2.dot(line2));
    const double d2 = residual / std::max(std::hypot(line2[0], line2[1]), 1e-12);
    const double d1 = residual / std::max(std::hypot(line1[0], line1[1]), 1e-12);
    distances[i] = std::max(d1, d2) * focal;
  }
  const auto middle = distances.begin() + (n - 1) / 2;
  std::nth_element(distances.begin(), middle, distances.end());
  return *middle;
}

bool fitsTracks(const Correspondences& tracks, const cv::Matx33d& R, const cv::Vec3d& t,
                double focal) {
  return std::min(tracks.first.size(), tracks.second.size()) >= size_t(kMinInliers) &&
         epipolarError(tracks, R, t, focal) <= kMaxEpipolarError;
}

namespace {

Correspondences selected(const Correspondences& matches, const cv::Mat& mask) {
  Correspondences kept;
  for (int i = 0; i < mask.rows * mask.cols; ++i) {
    if (!mask.at<uchar>(i)) continue;
    kept.first.push_back(matches.first[i]);
    kept.second.push_back(matches.second[i]);
  }
  return kept;
}

// The motion of the five-point solution that RANSAC settles on.
void essentialMotion(const Correspondences& matches, double focal, std::vector<Motion>& found) {
  cv::Mat inliers;
  const cv::Mat E = cv::findEssentialMat(matches.first, matches.second, 1.0, cv::Point2d(0, 0),
                                         cv::RANSAC, kConfidence, 1.0 / focal, inliers);
  if (E.rows != 3 || E.cols != 3) return;
  cv::Mat R, t;
  if (cv::recoverPose(E, matches.first, matches.second, cv::Mat::eye(3, 3, CV_64F), R, t, inliers) <
      kMinInliers)
    return;
  found.push_back({cv::Matx33d(R), cv::Vec3d(t) * (1.0 / cv::norm(t)), selected(matches, inliers)});
}

// The motions a ground plane's homography decomposes into with every match in front of both
// views. Fields are flat: there the five-point solution has a twin that fits as well, and
// RANSAC may settle on either.
void planeMotions(const Correspondences& matches, double focal, std::vector<Motion>& found) {
  cv::Mat inliers;
  const cv::Mat H =
      cv::findHomography(matches.first, matches.second, cv::RANSAC, 2.0 / focal, inliers);
  if (H.empty() || cv::countNonZero(inliers) < kMinInliers) return;
  const Correspondences plane = selected(matches, inliers);
  std::vector<cv::Mat> rotations, translations, normals;
  cv::decomposeHomographyMat(H, cv::Mat::eye(3, 3, CV_64F), rotations, translations, normals);
  std::vector<cv::Point2f> before, after;  // the visibility test takes single precision
  for (size_t i = 0; i < plane.first.size(); ++i) {
    before.emplace_back(plane.first[i]);
    after.emplace_back(plane.second[i]);
  }
  std::vector<int> visible;
  cv::filterHomographyDecompByVisibleRefpoints(rotations, normals, before, after, visible);
  for (int i : visible) {
    const double length = cv::norm(translations[i]);
    if (!(length > 0.0)) continue;  // a pure rotation tells no baseline
    found.push_back(
        {cv::Matx33d(rotations[i]), cv::Vec3d(translations[i]) * (1.0 / length), plane});
  }
}

}  // namespace

std::vector<Motion> motionsOf(const Correspondences& matches, double focal) {
  std::vector<Motion> found;
  const size_t n = std::min(matches.first.size(), matches.second.size());
  if (n < size_t(kMinInliers) || !(focal > 0.0)) return found;
  // RANSAC draws from the thread's generator: seeded afresh, a pair gives the same motion
  // whichever pool thread ran what before it.
  cv::theRNG() = cv::RNG(kRansacSeed);
  essentialMotion(matches, focal, found);
  planeMotions(matches, focal, found);
  return found;
}

void correct(const Correspondences& matches, double focal, cv::Matx33d& R, cv::Vec3d& t,
             bool& corrected, double* before, double* after) {
  corrected = false;
  const double length = cv::norm(t);
  double given = epipolarError(matches, R, t, focal);
  if (before) *before = given;
  if (after) *after = given;
  // Each motion is judged on the matches it was found with, the poses' on the same ones. Of
  // those that fit and lie near the poses', the nearest: the twin of a flat scene fits as
  // well.
  const Motion* best = nullptr;
  double bestChange = kMaxRotationChangeDegrees, bestError = 0.0;
  const std::vector<Motion> motions = motionsOf(matches, focal);
  for (const Motion& motion : motions) {
    const double poses = epipolarError(motion.inliers, R, t, focal);
    if (poses <= kMaxEpipolarError) return;  // the poses fit what the images agree on
    given = std::min(given, poses);
    const double told = epipolarError(motion.inliers, motion.R, motion.t, focal);
    const double rotationChange = angleDegrees((cv::trace(R.t() * motion.R) - 1.0) / 2.0);
    const double directionChange = angleDegrees(motion.t.dot(t) / length);
    if (told > kMaxEpipolarError || rotationChange > bestChange ||
        directionChange > kMaxDirectionChangeDegrees)
      continue;
    best = &motion;
    bestChange = rotationChange;
    bestError = told;
  }
  if (before) *before = given;
  if (after) *after = given;
  if (!best) return;
  R = best->R;
  t = best->t * length;
  corrected = true;
  if (after) *after = bestError;
}

}  // namespace pair_motion
