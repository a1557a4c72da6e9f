#include "frame_resection.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <array>
#include <cmath>
#include <vector>

namespace sfm {
namespace {

// RANSAC rounds and confidence of the pose from three points at a time.
constexpr int kRansacRounds = 200;
constexpr double kRansacConfidence = 0.999;

// Where a pose (angle-axis of camera_from_local, then the centre) misses a point (about the
// fix) seen at a normalised image place, in units of the pixel noise.
template <typename T>
void missOf(const T* pose, const T* point, const double* seen, double sigma, T* residual) {
  const T off[3] = {point[0] - pose[3], point[1] - pose[4], point[2] - pose[5]};
  T p[3];
  ceres::AngleAxisRotatePoint(pose, off, p);
  residual[0] = (p[0] / p[2] - T(seen[0])) / T(sigma);
  residual[1] = (p[1] / p[2] - T(seen[1])) / T(sigma);
}

struct SeenPoint {
  template <typename T>
  bool operator()(const T* pose, T* residual) const {
    const T at[3] = {T(point.x()), T(point.y()), T(point.z())};
    missOf(pose, at, seen, sigma, residual);
    return true;
  }

  Eigen::Vector3d point;
  double seen[2], sigma;
};

// A point that may lie off along a line by `shift` sigmas of its own (`along`: metres per
// sigma).
struct LooseSeenPoint {
  template <typename T>
  bool operator()(const T* pose, const T* shift, T* residual) const {
    T at[3];
    for (int axis = 0; axis < 3; ++axis) at[axis] = T(point[axis]) + shift[0] * T(along[axis]);
    missOf(pose, at, seen, sigma, residual);
    return true;
  }

  Eigen::Vector3d point, along;
  double seen[2], sigma;
};

struct ShiftHeld {
  template <typename T>
  bool operator()(const T* shift, T* residual) const {
    residual[0] = shift[0];
    return true;
  }
};

struct CentreHeld {
  template <typename T>
  bool operator()(const T* pose, T* residual) const {
    for (int axis = 0; axis < 3; ++axis)
      residual[axis] = (pose[3 + axis] - T(centre[axis])) / T(sigma[axis]);
    return true;
  }

  Eigen::Vector3d centre, sigma;
};

// Least squares of the agreeing points and the held centre from the pose `pose` (angle-axis,
// centre) on; the points of `given` that may lie off (`given.along`) move with it, and are
// left where it puts them. `points` are about the fix, `seen` normalised.
void adjustPose(const std::vector<cv::Point3d>& points, const std::vector<cv::Point2d>& seen,
                const std::vector<int>& agreeing, double pixel, const HeldCentre& held,
                const Eigen::Vector3d& origin, SeenPoints& given, std::array<double, 6>& pose) {
  ceres::Problem problem;
  std::vector<double> shifts(points.size(), 0.0);
  for (int k : agreeing) {
    const Eigen::Vector3d point(points[k].x, points[k].y, points[k].z);
    const Eigen::Vector3d along = given.along.empty() ? Eigen::Vector3d::Zero() : given.along[k];
    if (along.isZero()) {
      problem.AddResidualBlock(new ceres::AutoDiffCostFunction<SeenPoint, 2, 6>(
                                   new SeenPoint{point, {seen[k].x, seen[k].y}, pixel}),
                               nullptr, pose.data());
      continue;
    }
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<LooseSeenPoint, 2, 6, 1>(
                                 new LooseSeenPoint{point, along, {seen[k].x, seen[k].y}, pixel}),
                             nullptr, pose.data(), &shifts[k]);
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<ShiftHeld, 1, 1>(new ShiftHeld),
                             nullptr, &shifts[k]);
  }
  if (held.sigma.allFinite()) {
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<CentreHeld, 3, 6>(
                                 new CentreHeld{held.centre - origin, held.sigma}),
                             nullptr, pose.data());
  }
  ceres::Solver::Options options;
  options.linear_solver_type = ceres::DENSE_QR;
  options.logging_type = ceres::SILENT;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  for (int k : agreeing) {
    if (!given.along.empty()) given.points[k] += shifts[k] * given.along[k];
  }
}

}  // namespace

bool resectFrame(const RefinementBlock& block, const BlockFrame& frame, double max_error,
                 int least_inliers, const HeldCentre& held, Resection* out) {
  SeenPoints seen;
  for (size_t i = 0; i < frame.track_of.size(); ++i) {
    const int t = frame.track_of[i];
    if (t < 0) continue;
    const Track& track = block.tracks.at(t);
    if (!track.triangulated) continue;
    seen.points.push_back(track.point);
    seen.features.push_back(static_cast<int>(i));
  }
  return resectPoints(block, frame, &seen, max_error, least_inliers, held, out);
}

bool resectPoints(const RefinementBlock& block, const BlockFrame& frame, SeenPoints* given,
                  double max_error, int least_inliers, const HeldCentre& held, Resection* out,
                  std::vector<int>* agreeing) {
  const CameraIntrinsics& camera = block.cameras[frame.camera];
  const double normalised_pixel = 1.0 / (frame.features.scale * camera.refined[0]);
  // Points about the frame's fix, so that the solver sees metres, not the block's extent.
  std::vector<cv::Point3d> points;
  std::vector<cv::Point2d> seen;  // normalised image points, the distortion taken out
  for (size_t k = 0; k < given->points.size(); ++k) {
    const Eigen::Vector3d p = given->points[k] - frame.gps;
    const cv::Point2f& px = frame.features.pixels[given->features[k]];
    const auto n = camera.unproject(px.x, px.y);
    points.emplace_back(p.x(), p.y(), p.z());
    seen.emplace_back(n[0], n[1]);
  }
  out->points = static_cast<int>(points.size());
  out->inliers = 0;
  if (out->points < std::max(least_inliers, 4)) return false;
  const double normalised_error = max_error * normalised_pixel;
  cv::Mat rvec, tvec;
  std::vector<int> inliers;
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  if (!cv::solvePnPRansac(points, seen, identity, cv::noArray(), rvec, tvec, false, kRansacRounds,
                          normalised_error, kRansacConfidence, inliers, cv::SOLVEPNP_AP3P))
    return false;
  out->inliers = static_cast<int>(inliers.size());
  if (agreeing) *agreeing = inliers;
  if (out->inliers < least_inliers || 2 * out->inliers < out->points) return false;
  // The pose as angle-axis and centre about the fix.
  cv::Mat rotation;
  cv::Rodrigues(rvec, rotation);
  Eigen::Matrix3d turn;
  Eigen::Vector3d translation;
  cv::cv2eigen(rotation, turn);
  cv::cv2eigen(tvec, translation);
  const Eigen::Vector3d from_fix = -turn.transpose() * translation;
  std::array<double, 6> pose = {rvec.at<double>(0), rvec.at<double>(1), rvec.at<double>(2),
                                from_fix.x(),       from_fix.y(),       from_fix.z()};
  adjustPose(points, seen, inliers, normalised_pixel, held, frame.gps, *given, pose);
  Eigen::Matrix3d camera_from_local;
  ceres::AngleAxisToRotationMatrix(pose.data(),
                                   ceres::ColumnMajorAdapter3x3(camera_from_local.data()));
  const Eigen::Vector3d centre = frame.gps + Eigen::Vector3d(pose[3], pose[4], pose[5]);
  if (!camera_from_local.allFinite() || !centre.allFinite()) return false;
  out->camera_from_local = camera_from_local;
  out->centre = centre;
  return true;
}

}  // namespace sfm
