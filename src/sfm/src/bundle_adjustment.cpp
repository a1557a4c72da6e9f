#include "bundle_adjustment.h"

#include "focal_determinacy.h"
#include "reprojection_cost.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

namespace sfm {
namespace {

// Observations farther off after the first solve, in pixels of the features, go: matches are
// placed to a few hundredths of a pixel, so one this far off ties two different places (a
// repeated furrow, a roof edge seen from the other side), and a few in a hundred of them,
// weighed nearly in full, turn a noise-free block by a hundredth of a degree or more.
constexpr double kOutlierPixels = 0.6;
// Fewer outliers than this share do not call for a second solve, which costs as much as the
// first: they leave the block all the same and are gone from the next frame's solve.
constexpr double kOutlierShare = 0.05;
constexpr double kMaxFocalChange = 0.3;      // share of the calibrated focal length
constexpr double kMaxDistortion = 1.0;       // |k1|, |k2| beyond this is a failed solve
constexpr int kMinFramesForCamera = 3;       // fewer free frames cannot tell the camera apart
constexpr double kCentreSigma = 0.005;       // share of the image diagonal
constexpr double kDistortionSigma = 0.01;    // of k1 and k2
constexpr double kLeastPixelSigma = 0.05;    // pixels of the features: the finest placement
constexpr double kFunctionTolerance = 1e-5;  // relative cost change that ends a solve
constexpr int kMaxIterations = 25;           // each step starts next to the last solution

struct PositionPrior {
  PositionPrior(const Eigen::Vector3d& gps, const Eigen::Vector3d& sigma)
      : gps(gps), sigma(sigma) {}

  template <typename T>
  bool operator()(const T* pose, T* residual) const {
    for (int i = 0; i < 3; ++i) residual[i] = (pose[3 + i] - T(gps[i])) / T(sigma[i]);
    return true;
  }

  Eigen::Vector3d gps, sigma;
};

// The recorded attitude: the turn between the pose and the prior, about the local east,
// north and up axes, with pitch and roll (east, north) weighed apart from the heading (up).
struct AttitudePrior {
  AttitudePrior(const std::array<double, 3>& prior, double tilt_sigma, double yaw_sigma)
      : sigma{tilt_sigma, tilt_sigma, yaw_sigma} {
    ceres::AngleAxisToRotationMatrix(prior.data(), ceres::RowMajorAdapter3x3(prior_from_local));
  }

  template <typename T>
  bool operator()(const T* pose, T* residual) const {
    T camera_from_local[9];
    ceres::AngleAxisToRotationMatrix(pose, ceres::RowMajorAdapter3x3(camera_from_local));
    // local_from_camera * prior_from_local: the turn of the local frame from prior to pose.
    T turn[9];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        T sum(0.0);
        for (int k = 0; k < 3; ++k)
          sum += camera_from_local[k * 3 + r] * T(prior_from_local[k * 3 + c]);
        turn[r * 3 + c] = sum;
      }
    }
    T angle_axis[3];
    ceres::RotationMatrixToAngleAxis(ceres::RowMajorAdapter3x3<const T>(turn), angle_axis);
    for (int i = 0; i < 3; ++i) residual[i] = angle_axis[i] / T(sigma[i]);
    return true;
  }

  double prior_from_local[9];
  double sigma[3];
};

// The calibration as a prior: the focal length loosely (calibrations from image metadata are
// often a few percent off), the principal point and radial distortion near their values.
struct CameraPrior {
  CameraPrior(const std::array<double, CameraIntrinsics::kRefined>& calibrated, double focal_sigma,
              double centre_sigma, double distortion_sigma)
      : calibrated(calibrated),
        focal_sigma(focal_sigma),
        centre_sigma(centre_sigma),
        distortion_sigma(distortion_sigma) {}

  template <typename T>
  bool operator()(const T* k, T* residual) const {
    residual[0] = (k[1] - T(calibrated[1])) / T(centre_sigma);
    residual[1] = (k[2] - T(calibrated[2])) / T(centre_sigma);
    residual[2] = (k[3] - T(calibrated[3])) / T(distortion_sigma);
    residual[3] = (k[4] - T(calibrated[4])) / T(distortion_sigma);
    residual[4] = (k[0] - T(calibrated[0])) / T(focal_sigma);
    return true;
  }

  std::array<double, CameraIntrinsics::kRefined> calibrated;
  double focal_sigma, centre_sigma, distortion_sigma;
};

struct Snapshot {
  std::map<uint64_t, std::array<double, 6>> poses;
  std::map<int, Eigen::Vector3d> points;
  std::vector<std::array<double, CameraIntrinsics::kRefined>> cameras;
};

bool usable(const RefinementBlock& block, const Snapshot& before, const std::set<int>& tracks) {
  for (size_t c = 0; c < block.cameras.size(); ++c) {
    const auto& k = block.cameras[c].refined;
    if (!std::all_of(k.begin(), k.end(), [](double v) { return std::isfinite(v); })) return false;
    if (std::abs(k[0] / before.cameras[c][0] - 1.0) > kMaxFocalChange) return false;
    if (std::abs(k[3]) > kMaxDistortion || std::abs(k[4]) > kMaxDistortion) return false;
  }
  for (const auto& [id, pose] : before.poses) {
    const auto& p = block.frames.at(id).pose;
    if (!std::all_of(p.begin(), p.end(), [](double v) { return std::isfinite(v); })) return false;
  }
  for (int t : tracks) {
    if (!block.tracks.at(t).point.allFinite()) return false;
  }
  return true;
}

}  // namespace

bool adjustBundle(RefinementBlock& block, const std::vector<uint64_t>& free_frames,
                  const RefinementOptions& options, bool adjust_cameras, AdjustmentReport* report) {
  const std::set<uint64_t> free(free_frames.begin(), free_frames.end());
  std::set<int> tracks;
  for (uint64_t id : free) {
    // The longest tracks of each frame: they tie the most frames together.
    std::vector<std::pair<size_t, int>> seen;
    for (int t : block.frames.at(id).track_of) {
      if (t >= 0 && block.tracks.at(t).triangulated)
        seen.emplace_back(block.tracks.at(t).observations.size(), t);
    }
    const size_t keep = std::min(seen.size(), static_cast<size_t>(options.points_per_frame));
    std::partial_sort(seen.begin(), seen.begin() + keep, seen.end(), std::greater<>());
    for (size_t k = 0; k < keep; ++k) tracks.insert(seen[k].second);
  }
  Snapshot before;
  for (const auto& c : block.cameras) before.cameras.push_back(c.refined);
  for (uint64_t id : free) before.poses[id] = block.frames.at(id).pose;
  for (int t : tracks) before.points[t] = block.tracks.at(t).point;
  auto restore = [&] {
    for (size_t c = 0; c < block.cameras.size(); ++c) block.cameras[c].refined = before.cameras[c];
    for (const auto& [id, pose] : before.poses) block.frames.at(id).pose = pose;
    for (const auto& [t, point] : before.points) {
      const auto it = block.tracks.find(t);
      if (it != block.tracks.end()) it->second.point = point;
    }
  };
  if (tracks.empty()) return false;

  for (int pass = 0; pass < 2; ++pass) {
    ceres::Problem problem;
    std::set<int> cameras_used;
    std::vector<std::pair<int, uint64_t>> terms;  // (track, frame) of every reprojection term
    for (int t : tracks) {
      const auto it = block.tracks.find(t);
      if (it == block.tracks.end() || !it->second.triangulated) continue;
      // A point seen from one placed frame only has no depth to solve for.
      const auto placed =
          std::count_if(it->second.observations.begin(), it->second.observations.end(),
                        [&](const auto& o) { return block.frames.at(o.first).placed; });
      if (placed < 2) continue;
      for (const auto& [frame_id, feature] : it->second.observations) {
        BlockFrame& f = block.frames.at(frame_id);
        if (!f.placed) continue;
        const cv::Point2f& px = f.features.pixels[feature];
        CameraIntrinsics& camera = block.cameras[f.camera];
        problem.AddResidualBlock(new ReprojectionCost(&camera, px.x, px.y),
                                 new ceres::CauchyLoss(options.loss_scale / f.features.scale),
                                 f.pose.data(), camera.refined.data(), it->second.point.data());
        if (!free.count(frame_id)) problem.SetParameterBlockConstant(f.pose.data());
        cameras_used.insert(f.camera);
        terms.emplace_back(t, frame_id);
      }
    }
    int free_in_problem = 0;
    for (uint64_t id : free) {
      BlockFrame& f = block.frames.at(id);
      if (!problem.HasParameterBlock(f.pose.data())) continue;
      ++free_in_problem;
      problem.AddResidualBlock(new ceres::AutoDiffCostFunction<PositionPrior, 3, 6>(
                                   new PositionPrior(f.gps, f.gps_sigma)),
                               nullptr, f.pose.data());
      if (f.tilt_sigma > 0.0 && f.yaw_sigma > 0.0) {
        problem.AddResidualBlock(
            new ceres::AutoDiffCostFunction<AttitudePrior, 3, 6>(
                new AttitudePrior(f.attitude_prior, f.tilt_sigma, f.yaw_sigma)),
            new ceres::CauchyLoss(1.0), f.pose.data());
      }
    }
    if (free_in_problem == 0) {
      restore();
      return false;
    }
    std::vector<int> cameras_free;
    for (int c : cameras_used) {
      double* k = block.cameras[c].refined.data();
      if (!adjust_cameras || options.intrinsics == IntrinsicRefinement::kNone ||
          free_in_problem < kMinFramesForCamera) {
        problem.SetParameterBlockConstant(k);
        continue;
      }
      cameras_free.push_back(c);
      if (options.intrinsics == IntrinsicRefinement::kFocalLength)
        problem.SetManifold(k, new ceres::SubsetManifold(CameraIntrinsics::kRefined, {1, 2, 3, 4}));
      const CameraIntrinsics calibrated =
          CameraIntrinsics::fromCalibration(block.cameras[c].calibration);
      const double diagonal = std::hypot(calibrated.calibration[0], calibrated.calibration[1]);
      problem.AddResidualBlock(new ceres::AutoDiffCostFunction<CameraPrior, 5, 5>(new CameraPrior(
                                   calibrated.refined, options.focal_sigma * calibrated.refined[0],
                                   kCentreSigma * diagonal, kDistortionSigma)),
                               nullptr, k);
    }
    ceres::Solver::Options solver;
    solver.linear_solver_type = ceres::DENSE_SCHUR;
    solver.max_num_iterations = kMaxIterations;
    solver.function_tolerance = kFunctionTolerance;
    solver.num_threads = options.threads;
    solver.logging_type = ceres::SILENT;
    ceres::Solver::Summary summary;
    ceres::Solve(solver, &problem, &summary);
    if (!summary.IsSolutionUsable() || !usable(block, before, tracks)) {
      restore();
      return false;
    }
    // Observations still far off are mismatches that slipped through: drop them and solve again.
    std::vector<std::pair<int, uint64_t>> outliers;
    double sum = 0.0;
    int kept = 0;
    for (const auto& [t, frame_id] : terms) {
      const Track& track = block.tracks.at(t);
      const double e =
          block.featureError(track, block.frames.at(frame_id), track.observations.at(frame_id));
      if (e > kOutlierPixels) {
        outliers.emplace_back(t, frame_id);
      } else {
        sum += e * e;
        ++kept;
      }
    }
    report->observations = kept;
    report->rms = kept > 0 ? std::sqrt(sum / kept) : 0.0;
    report->outliers += static_cast<int>(outliers.size());
    const bool last = pass == 1 || outliers.size() <= kOutlierShare * terms.size();
    // While the problem still holds every point: how well this flight tells each camera's
    // focal length.
    report->focal_sigma.clear();
    if (last) {
      const double scale = block.frames.at(*free.begin()).features.scale;
      const double pixel_sigma = std::max(report->rms, kLeastPixelSigma) / scale;
      for (int c : cameras_free) {
        std::vector<double*> reduced = {block.cameras[c].refined.data()};
        for (uint64_t id : free) {
          double* pose = block.frames.at(id).pose.data();
          if (problem.HasParameterBlock(pose)) reduced.push_back(pose);
        }
        report->focal_sigma[c] =
            focalStandardDeviation(problem, reduced, pixel_sigma, options.threads) /
            block.cameras[c].refined[0];
      }
    }
    for (const auto& [t, frame_id] : outliers) block.dropObservation(t, frame_id);
    for (auto it = tracks.begin(); it != tracks.end();) {
      it = block.tracks.count(*it) ? std::next(it) : tracks.erase(it);
    }
    if (last) break;
  }
  return true;
}

}  // namespace sfm
