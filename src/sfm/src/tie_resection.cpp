#include "tie_resection.h"

#include "camera_intrinsics.h"
#include "framework/camera_parameters.h"

#include <Eigen/Geometry>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sfm {
namespace {

// The surface under a ray's landing is the median height of the block's points nearest to it
// horizontally, within this share of the ray's drop to the ground: a tie's ground is often
// seen by no other pair, and the points nearest it lie where the frames' overlaps do.
constexpr double kSurfaceReach = 0.5;
constexpr size_t kSurfacePoints = 12;
// Rounds of landing the ray and taking the surface where it landed: the height of the first
// guess moves the landing little under a downward ray.
constexpr int kLandingRounds = 3;
// The median distance of a normal spread is 0.6745 of its sigma.
constexpr double kSigmaPerMedianDistance = 1.0 / 0.6745;

std::vector<Eigen::Vector3d> triangulatedPoints(const RefinementBlock& block) {
  std::vector<Eigen::Vector3d> points;
  for (const auto& [id, track] : block.tracks) {
    if (track.triangulated) points.push_back(track.point);
  }
  return points;
}

// The surface at `at`: the median height of the points nearest it horizontally within
// `reach` (metres) and the sigma of their scatter about it. False with too few of them.
bool surfaceAt(const std::vector<Eigen::Vector3d>& surface, const Eigen::Vector2d& at, double reach,
               double* height, double* sigma) {
  std::vector<std::pair<double, double>> near;  // squared horizontal distance, height
  for (const Eigen::Vector3d& p : surface) {
    const double d = (p.head<2>() - at).squaredNorm();
    if (d <= reach * reach) near.emplace_back(d, p.z());
  }
  if (near.size() < kSurfacePoints) return false;
  std::nth_element(near.begin(), near.begin() + (kSurfacePoints - 1), near.end());
  std::vector<double> heights;
  for (size_t k = 0; k < kSurfacePoints; ++k) heights.push_back(near[k].second);
  const auto middle = heights.begin() + heights.size() / 2;
  std::nth_element(heights.begin(), middle, heights.end());
  *height = *middle;
  for (double& h : heights) h = std::abs(h - *height);
  std::nth_element(heights.begin(), middle, heights.end());
  *sigma = kSigmaPerMedianDistance * *middle;
  return true;
}

// Where a ray from `from` (local) meets the surface the points tell, starting from the level
// `height`, and the sigma of that surface's height there; false where the ray does not go
// down or lands where too few points lie near.
bool landRay(const std::vector<Eigen::Vector3d>& surface, const Eigen::Vector3d& from,
             const Eigen::Vector3d& ray, double height, Eigen::Vector3d* ground, double* sigma) {
  if (!(ray.z() < 0.0)) return false;
  for (int round = 0; round <= kLandingRounds; ++round) {
    const double drop = from.z() - height;
    if (!(drop > 0.0)) return false;
    *ground = from + (drop / -ray.z()) * ray;
    if (round == kLandingRounds) break;
    if (!surfaceAt(surface, ground->head<2>(), kSurfaceReach * drop, &height, sigma)) return false;
  }
  return true;
}

// Pixels of the features by which a pose misses a point where a feature sees it.
double featureMiss(const CameraIntrinsics& camera, const BlockFrame& frame, const Resection& pose,
                   const Eigen::Vector3d& point, int feature) {
  const Eigen::Vector3d p = pose.camera_from_local * (point - pose.centre);
  if (!(p.z() > 0.0)) return HUGE_VAL;
  Eigen::Vector2d pixel;
  projectToPixel(camera.refined.data(), camera, p.data(), pixel.data());
  const cv::Point2f& seen = frame.features.pixels[feature];
  return (pixel - Eigen::Vector2d(seen.x, seen.y)).norm() * frame.features.scale;
}

}  // namespace

void groundTies(const RefinementBlock& block, const BlockFrame& frame, SeenPoints* ties) {
  *ties = SeenPoints();
  const std::vector<Eigen::Vector3d> surface = triangulatedPoints(block);
  for (size_t i = 0; i < frame.track_of.size(); ++i) {
    const int t = frame.track_of[i];
    if (t < 0) continue;
    const Track& track = block.tracks.at(t);
    if (track.triangulated) {
      ties->points.push_back(track.point);
      ties->features.push_back(static_cast<int>(i));
      ties->along.push_back(Eigen::Vector3d::Zero());
      continue;
    }
    // The steepest ray lands nearest below its camera, where a wrong height moves it least.
    const BlockFrame* seer = nullptr;
    Eigen::Vector3d ray = Eigen::Vector3d::Zero();
    for (const auto& [id, feature] : track.observations) {
      if (id == frame.id) continue;
      const BlockFrame& other = block.frames.at(id);
      if (!other.refined || !other.placed) continue;
      const cv::Point2f& px = other.features.pixels[feature];
      const auto n = block.cameras[other.camera].unproject(px.x, px.y);
      const Eigen::Vector3d r =
          (other.cameraFromLocal().transpose() * Eigen::Vector3d(n[0], n[1], 1.0)).normalized();
      if (!seer || r.z() < ray.z()) seer = &other, ray = r;
    }
    Eigen::Vector3d ground;
    double height_sigma = 0.0;
    if (!seer || !landRay(surface, seer->centre(), ray, seer->ground, &ground, &height_sigma))
      continue;
    ties->points.push_back(ground);
    ties->features.push_back(static_cast<int>(i));
    // A sigma of the surface's height moves the point along the ray this far.
    ties->along.push_back(height_sigma / -ray.z() * ray);
  }
}

bool resectFromTies(const RefinementBlock& block, const BlockFrame& frame, const HeldCentre& held,
                    const Eigen::Matrix3d& expected, const TieLimits& limits, Resection* out,
                    std::string* account) {
  SeenPoints ties;
  groundTies(block, frame, &ties);
  account->clear();
  if (ties.points.empty()) return false;
  std::vector<int> agreeing;
  std::ostringstream told;
  if (!resectPoints(block, frame, &ties, limits.max_error, limits.least_inliers, held, out,
                    &agreeing)) {
    told << out->inliers << " of " << out->points << " ground ties agree on a pose";
    *account = told.str();
    return false;
  }
  const CameraIntrinsics& camera = block.cameras[frame.camera];
  // The agreeing ties as the adjusted pose sees them: how closely it fits them and how much
  // of the image they hold (a corner's few tell a turn, hardly a shift).
  double squares = 0.0;
  int fitting = 0;
  std::vector<cv::Point2f> spread;
  for (int k : agreeing) {
    const double miss = featureMiss(camera, frame, *out, ties.points[k], ties.features[k]);
    if (!(miss <= limits.max_error)) continue;
    squares += miss * miss;
    ++fitting;
    spread.push_back(frame.features.pixels[ties.features[k]]);
  }
  const double rms = fitting > 0 ? std::sqrt(squares / fitting) : HUGE_VAL;
  double hull_share = 0.0;
  if (spread.size() >= 3) {
    std::vector<cv::Point2f> hull;
    cv::convexHull(spread, hull);
    const fw::CameraParameters image = fw::CameraParameters::decode(camera.calibration);
    hull_share = cv::contourArea(hull) / (image.width * image.height);
  }
  const double reach = ((out->centre - held.centre).array() / held.sigma.array()).abs().maxCoeff();
  const double turn = Eigen::AngleAxisd(out->camera_from_local * expected.transpose()).angle();
  told << fitting << " of " << out->points << " ground ties fit to " << rms << " px (rms), over "
       << hull_share << " of the image, " << reach << " sigmas from the held centre, "
       << turn * 180.0 / M_PI << " degrees from the expected attitude";
  *account = told.str();
  return fitting >= limits.least_inliers && rms <= limits.max_rms_error &&
         hull_share >= limits.least_spread && reach <= limits.reach_sigmas &&
         turn <= limits.max_turn;
}

}  // namespace sfm
