#include "frame_resection.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <cmath>
#include <vector>

namespace sfm {
namespace {

// RANSAC rounds and confidence of the pose from three points at a time.
constexpr int kRansacRounds = 200;
constexpr double kRansacConfidence = 0.999;

}  // namespace

bool resectFrame(const RefinementBlock& block, const BlockFrame& frame, double max_error,
                 int least_inliers, Resection* out) {
  const CameraIntrinsics& camera = block.cameras[frame.camera];
  // Points about the frame's fix, so that the solver sees metres, not the block's extent.
  std::vector<cv::Point3d> points;
  std::vector<cv::Point2d> seen;  // normalised image points, the distortion taken out
  for (size_t i = 0; i < frame.track_of.size(); ++i) {
    const int t = frame.track_of[i];
    if (t < 0) continue;
    const Track& track = block.tracks.at(t);
    if (!track.triangulated) continue;
    const Eigen::Vector3d p = track.point - frame.gps;
    const cv::Point2f& px = frame.features.pixels[i];
    const auto n = camera.unproject(px.x, px.y);
    points.emplace_back(p.x(), p.y(), p.z());
    seen.emplace_back(n[0], n[1]);
  }
  out->points = static_cast<int>(points.size());
  out->inliers = 0;
  if (out->points < std::max(least_inliers, 4)) return false;
  const double normalised_error = max_error / (frame.features.scale * camera.refined[0]);
  cv::Mat rvec, tvec;
  std::vector<int> inliers;
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  if (!cv::solvePnPRansac(points, seen, identity, cv::noArray(), rvec, tvec, false, kRansacRounds,
                          normalised_error, kRansacConfidence, inliers, cv::SOLVEPNP_AP3P))
    return false;
  out->inliers = static_cast<int>(inliers.size());
  if (out->inliers < least_inliers || 2 * out->inliers < out->points) return false;
  std::vector<cv::Point3d> kept_points;
  std::vector<cv::Point2d> kept_seen;
  for (int k : inliers) kept_points.push_back(points[k]), kept_seen.push_back(seen[k]);
  cv::solvePnPRefineLM(kept_points, kept_seen, identity, cv::noArray(), rvec, tvec);
  cv::Mat rotation;
  cv::Rodrigues(rvec, rotation);
  Eigen::Matrix3d camera_from_local;
  Eigen::Vector3d translation;
  cv::cv2eigen(rotation, camera_from_local);
  cv::cv2eigen(tvec, translation);
  const Eigen::Vector3d centre = frame.gps - camera_from_local.transpose() * translation;
  if (!camera_from_local.allFinite() || !centre.allFinite()) return false;
  out->camera_from_local = camera_from_local;
  out->centre = centre;
  return true;
}

}  // namespace sfm
