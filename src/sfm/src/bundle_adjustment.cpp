#include "bundle_adjustment.h"

#include "focal_determinacy.h"
#include "framework/camera_parameters.h"
#include "reprojection_cost.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>
#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

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
constexpr double kMaxFocalChange = 0.3;    // share of the calibrated focal length
constexpr double kMaxDistortion = 1.0;     // |k1|, |k2| beyond this is a failed solve
constexpr int kMinFramesForCamera = 3;     // fewer free frames cannot tell the camera apart
constexpr double kCentreSigma = 0.005;     // share of the image diagonal
constexpr double kDistortionSigma = 0.05;  // of k1 and k2
constexpr double kLeastPixelSigma = 0.05;  // pixels of the features: the finest placement
// Residuals left free below this many do not tell the images' scatter.
constexpr long kMinRedundancy = 100;
// Relative cost change that ends a solve. Each solve starts from the last one's solution with
// one frame more: the steps that change the cost by less than this move the poses by
// fractions of a millimetre and cost as much as the first ones (a fifth of the solver's time).
constexpr double kFunctionTolerance = 1e-4;
constexpr int kMaxIterations = 25;  // each step starts next to the last solution
// While the cameras are free, the first window is adjusted whole only now and then, its newest
// frames placed in between with the cameras held: each such solve goes on to convergence.
constexpr double kSettlingFunctionTolerance = 1e-6;
constexpr int kMaxSettlingIterations = 100;
// The GPS lever is solved for only when the mean of the frames' directions of travel is
// shorter than this share of one: strips flown both ways, or a turn.
constexpr double kMostAlikeTracks = 0.7;

// The recorded position: the fix against where the pose, the flight's GPS lever and the
// frame's drift put it, in sigmas of the fix's white noise.
struct PositionPrior {
  PositionPrior(const Eigen::Vector3d& gps, const Eigen::Vector3d& sigma,
                const Eigen::Vector2d& track)
      : gps(gps), sigma(sigma), track(track) {}

  template <typename T>
  bool operator()(const T* pose, const T* lever, const T* drift, T* residual) const {
    T fix[3];
    BlockFrame::fixOf(pose + 3, lever, drift, track, fix);
    for (int i = 0; i < 3; ++i) residual[i] = (fix[i] - T(gps[i])) / T(sigma[i]);
    return true;
  }

  Eigen::Vector3d gps, sigma;
  Eigen::Vector2d track;
};

// The fixes' drift changes little from one frame to the next (`to` against `from`), and
// stays within the stated sigmas (`from` null: the frame's drift against none).
struct DriftPrior {
  explicit DriftPrior(const Eigen::Vector3d& sigma) : sigma(sigma) {}

  template <typename T>
  bool operator()(const T* from, const T* to, T* residual) const {
    for (int i = 0; i < 3; ++i) residual[i] = (to[i] - from[i]) / T(sigma[i]);
    return true;
  }
  template <typename T>
  bool operator()(const T* drift, T* residual) const {
    for (int i = 0; i < 3; ++i) residual[i] = drift[i] / T(sigma[i]);
    return true;
  }

  Eigen::Vector3d sigma;
};

struct LeverPrior {
  explicit LeverPrior(double sigma) : sigma(sigma) {}

  template <typename T>
  bool operator()(const T* lever, T* residual) const {
    residual[0] = lever[0] / T(sigma);
    residual[1] = lever[1] / T(sigma);
    return true;
  }

  double sigma;
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

// The recorded attitude as the adjustment holds it (angle-axis of camera_from_local): turned
// about up by the frame's heading offset.
std::array<double, 3> heldAttitude(const BlockFrame& f) {
  if (f.heading_offset == 0.0) return f.attitude_prior;
  const Eigen::Matrix3d held =
      f.directCameraFromLocal() *
      Eigen::AngleAxisd(f.heading_offset, Eigen::Vector3d::UnitZ()).toRotationMatrix().transpose();
  std::array<double, 3> angle_axis;
  ceres::RotationMatrixToAngleAxis(ceres::ColumnMajorAdapter3x3(held.data()), angle_axis.data());
  return angle_axis;
}

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

// The free frames' poses, their points and every camera as they were before the solve: a
// solve that fails or leaves the block unusable puts them back.
struct Snapshot {
  Snapshot(const RefinementBlock& block, const std::set<uint64_t>& free,
           const std::set<int>& tracks) {
    for (const auto& c : block.cameras) cameras.push_back(c.refined);
    for (uint64_t id : free) {
      poses[id] = block.frames.at(id).pose;
      drifts[id] = block.frames.at(id).gps_drift;
    }
    lever = block.gps_lever;
    for (int t : tracks) points[t] = block.tracks.at(t).point;
  }

  void restore(RefinementBlock& block) const {
    for (size_t c = 0; c < block.cameras.size(); ++c) block.cameras[c].refined = cameras[c];
    for (const auto& [id, pose] : poses) block.frames.at(id).pose = pose;
    for (const auto& [id, drift] : drifts) block.frames.at(id).gps_drift = drift;
    block.gps_lever = lever;
    for (const auto& [t, point] : points) {
      const auto it = block.tracks.find(t);
      if (it != block.tracks.end()) it->second.point = point;
    }
  }

  std::map<uint64_t, std::array<double, 6>> poses;
  std::map<uint64_t, std::array<double, 3>> drifts;
  std::array<double, 2> lever;
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
  const auto finite = [](const auto& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  };
  for (const auto& [id, pose] : before.poses) {
    if (!finite(block.frames.at(id).pose) || !finite(block.frames.at(id).gps_drift)) return false;
  }
  if (!finite(block.gps_lever)) return false;
  for (int t : tracks) {
    if (!block.tracks.at(t).point.allFinite()) return false;
  }
  return true;
}

// The points the solve moves: the longest tracks of each free frame, as they tie the most
// frames together.
std::set<int> chooseTracks(const RefinementBlock& block, const std::set<uint64_t>& free,
                           int points_per_frame) {
  std::set<int> tracks;
  for (uint64_t id : free) {
    std::vector<std::pair<size_t, int>> seen;
    for (int t : block.frames.at(id).track_of) {
      if (t >= 0 && block.tracks.at(t).triangulated)
        seen.emplace_back(block.tracks.at(t).observations.size(), t);
    }
    const size_t keep = std::min(seen.size(), static_cast<size_t>(points_per_frame));
    std::partial_sort(seen.begin(), seen.begin() + keep, seen.end(), std::greater<>());
    for (size_t k = 0; k < keep; ++k) tracks.insert(seen[k].second);
  }
  return tracks;
}

// Reprojection errors weigh less beyond their scale (Cauchy); a fix or a recorded attitude
// farther off than a few of its sigmas pulls no harder than there (Huber): one wrong fix drags
// neither its neighbours nor the GPS lever. Within those sigmas the records weigh in full: an
// attitude two sigmas off is the sensor's noise, and a few frames the images tie weakly to
// the rest (a strip's first frames after a turn) keep to their records instead of rolling
// about the line they lie on.
constexpr int kPixelLoss = 0, kFixLoss = 1;

using Term = std::pair<int, uint64_t>;  // (track, frame) of one reprojection term

// One solve's problem and what was put into it.
struct Adjustment {
  // Room for the values of `points` map points and of the cameras and frames of `block`.
  Adjustment(const RefinementBlock& block, size_t points) {
    point_store.reserve(3 * points);
    other_store.reserve(CameraIntrinsics::kRefined * block.cameras.size() + block.gps_lever.size() +
                        (6 + 3) * block.frames.size());
  }

  // One robust loss per kind, scale and weight, shared by the terms (the problem deletes each
  // once). A reprojection error counts in pixels through a Cauchy loss of that scale, weighed
  // by `weight`; a record's error counts in its sigmas through a Huber loss.
  ceres::LossFunction* pixelLoss(double scale, double weight) {
    ceres::LossFunction*& loss = losses[{kPixelLoss, scale, weight}];
    if (!loss) {
      loss = new ceres::ScaledLoss(new ceres::CauchyLoss(scale), weight, ceres::TAKE_OWNERSHIP);
    }
    return loss;
  }
  ceres::LossFunction* recordLoss(double scale) {
    ceres::LossFunction*& loss = losses[{kFixLoss, scale, 1.0}];
    if (!loss) loss = new ceres::HuberLoss(scale);
    return loss;
  }

  // The copy the solve moves of a value of the block, made on first use. The map points and
  // the other values each get a store of their own, laid out in the order the terms first name
  // them: Ceres eliminates the points first and orders the blocks of each group by address, so
  // stores laid out in a fixed order keep two runs of one flight identical, where the block's
  // own values lie wherever the heap put their frames and tracks.
  double* held(double* value, int size, bool point) {
    const auto found = copy_of.find(value);
    if (found != copy_of.end()) return found->second.copy;
    std::vector<double>& store = point ? point_store : other_store;
    // The stores were sized for every value before the first copy: growing would move the
    // copies Ceres already holds.
    if (store.size() + size > store.capacity())
      throw std::logic_error("a bundle adjustment store was sized too small");
    const size_t at = store.size();
    store.insert(store.end(), value, value + size);
    Copy copy{store.data() + at, size, point};
    copy_of.emplace(value, copy);
    return copy.copy;
  }
  // The solve's copy of a value of the block, or null when no term holds it.
  double* find(const double* value) const {
    const auto found = copy_of.find(value);
    return found == copy_of.end() ? nullptr : found->second.copy;
  }
  // Ceres's order of elimination: the points, then the poses, drifts, cameras and lever.
  std::shared_ptr<ceres::ParameterBlockOrdering> ordering() const {
    auto order = std::make_shared<ceres::ParameterBlockOrdering>();
    for (const auto& [value, copy] : copy_of) {
      if (problem.HasParameterBlock(copy.copy))
        order->AddElementToGroup(copy.copy, copy.point ? 0 : 1);
    }
    return order;
  }
  // The solved values back into the block.
  void copyBack() const {
    for (const auto& [value, copy] : copy_of) std::copy(copy.copy, copy.copy + copy.size, value);
  }

  struct Copy {
    double* copy;
    int size;
    bool point;
  };
  std::vector<double> point_store, other_store;
  std::map<double*, Copy, std::less<>> copy_of;
  ceres::Problem problem;
  std::map<std::tuple<int, double, double>, ceres::LossFunction*> losses;
  std::set<int> cameras_used;
  std::vector<Term> terms;
  std::vector<int> cameras_free;
  int free_in_problem = 0;
};

// A reprojection term for every placed observation of the chosen points; poses of frames
// that are not free hold still.
void addReprojections(Adjustment& adjustment, RefinementBlock& block,
                      const std::set<uint64_t>& free, const std::set<int>& tracks,
                      const RefinementOptions& options) {
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
      // The residual is in pixels of the image, the noise in pixels of the features.
      const double weight = std::pow(f.features.scale / block.pixel_sigma, 2);
      double* pose = adjustment.held(f.pose.data(), 6, false);
      adjustment.problem.AddResidualBlock(
          new ReprojectionCost(&camera, px.x, px.y),
          adjustment.pixelLoss(options.loss_scale / f.features.scale, weight), pose,
          adjustment.held(camera.refined.data(), CameraIntrinsics::kRefined, false),
          adjustment.held(it->second.point.data(), 3, true));
      if (!free.count(frame_id)) adjustment.problem.SetParameterBlockConstant(pose);
      adjustment.cameras_used.insert(f.camera);
      adjustment.terms.emplace_back(t, frame_id);
    }
  }
}

// The GPS position and, where recorded, the attitude of every free frame the problem holds;
// the drift of each from the frame before it, and the flight's GPS lever. The fixes of the
// placed frames that hold still count too: they tell the lever (strips flown both ways).
void addPosePriors(Adjustment& adjustment, RefinementBlock& block, const std::set<uint64_t>& free,
                   const RefinementOptions& options) {
  ceres::Problem& problem = adjustment.problem;
  double* lever = adjustment.held(block.gps_lever.data(), 2, false);
  // The lever is one part of the fixes' error: their stated sigmas bound it as they bound all
  // of it. It is told apart from the block's place only by frames flown in several directions.
  double lever_sigma = options.gps_lever_sigma;
  Eigen::Vector2d track_sum = Eigen::Vector2d::Zero();
  int tracks = 0;
  BlockFrame* before = nullptr;
  for (auto& [id, f] : block.frames) {
    BlockFrame* previous = before;
    before = &f;
    const bool is_free = free.count(id) > 0;
    if (is_free && !adjustment.find(f.pose.data())) continue;
    if (!is_free && !(f.fixed && f.placed)) continue;
    double* pose = adjustment.held(f.pose.data(), 6, false);
    double* drift = adjustment.held(f.gps_drift.data(), 3, false);
    if (is_free) ++adjustment.free_in_problem;
    if (is_free) lever_sigma = std::min(lever_sigma, f.stated_gps_sigma.head<2>().maxCoeff());
    if (f.track.squaredNorm() > 0.0) track_sum += f.track, ++tracks;
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<PositionPrior, 3, 6, 2, 3>(
                                 new PositionPrior(f.gps, f.gps_sigma, f.track)),
                             adjustment.recordLoss(options.max_gps_sigmas), pose, lever, drift);
    if (!is_free) {
      problem.SetParameterBlockConstant(pose);
      problem.SetParameterBlockConstant(drift);
      continue;
    }
    const Eigen::Vector3d step = options.gps_drift_share * f.driftSigma();
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<DriftPrior, 3, 3>(new DriftPrior(f.driftSigma())), nullptr,
        drift);
    if (previous) {
      const bool previous_held = adjustment.find(previous->pose.data()) != nullptr;
      double* from = adjustment.held(previous->gps_drift.data(), 3, false);
      problem.AddResidualBlock(
          new ceres::AutoDiffCostFunction<DriftPrior, 3, 3, 3>(new DriftPrior(step)), nullptr, from,
          drift);
      if (!free.count(previous->id) || !previous_held) problem.SetParameterBlockConstant(from);
    }
    if (f.tilt_sigma > 0.0 && f.yaw_sigma > 0.0) {
      problem.AddResidualBlock(new ceres::AutoDiffCostFunction<AttitudePrior, 3, 6>(
                                   new AttitudePrior(heldAttitude(f), f.tilt_sigma, f.yaw_sigma)),
                               adjustment.recordLoss(options.max_gps_sigmas), pose);
    }
  }
  if (!problem.HasParameterBlock(lever)) return;
  if (adjustment.free_in_problem == 0 || !(track_sum.norm() < kMostAlikeTracks * tracks)) {
    problem.SetParameterBlockConstant(lever);
    return;
  }
  problem.AddResidualBlock(
      new ceres::AutoDiffCostFunction<LeverPrior, 2, 2>(new LeverPrior(lever_sigma)), nullptr,
      lever);
}

// Each camera the terms use either holds still or is freed under its calibration prior.
void addCameras(Adjustment& adjustment, RefinementBlock& block, const RefinementOptions& options,
                bool adjust_cameras) {
  for (int c : adjustment.cameras_used) {
    double* k = adjustment.find(block.cameras[c].refined.data());
    if (!adjust_cameras || options.intrinsics == IntrinsicRefinement::kNone ||
        adjustment.free_in_problem < kMinFramesForCamera) {
      adjustment.problem.SetParameterBlockConstant(k);
      continue;
    }
    adjustment.cameras_free.push_back(c);
    if (options.intrinsics == IntrinsicRefinement::kFocalLength) {
      adjustment.problem.SetManifold(
          k, new ceres::SubsetManifold(CameraIntrinsics::kRefined, {1, 2, 3, 4}));
    }
    const CameraIntrinsics calibrated =
        CameraIntrinsics::fromCalibration(block.cameras[c].calibration);
    const fw::CameraParameters size = fw::CameraParameters::decode(calibrated.calibration);
    const double diagonal = std::hypot(size.width, size.height);
    adjustment.problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<CameraPrior, 5, 5>(
            new CameraPrior(calibrated.refined, options.focal_sigma * calibrated.refined[0],
                            kCentreSigma * diagonal, kDistortionSigma)),
        nullptr, k);
  }
}

bool solve(Adjustment& adjustment, int threads) {
  ceres::Solver::Options solver;
  solver.linear_solver_type = ceres::DENSE_SCHUR;
  const bool settling = !adjustment.cameras_free.empty();
  solver.max_num_iterations = settling ? kMaxSettlingIterations : kMaxIterations;
  solver.function_tolerance = settling ? kSettlingFunctionTolerance : kFunctionTolerance;
  solver.num_threads = threads;
  solver.logging_type = ceres::SILENT;
  solver.linear_solver_ordering = adjustment.ordering();
  ceres::Solver::Summary summary;
  ceres::Solve(solver, &adjustment.problem, &summary);
  return summary.IsSolutionUsable();
}

// The terms still far off after the solve: mismatches that slipped through. The report takes
// the error of the others, and the block their scatter, the weight of the images in its next
// solve: the observations' squared errors over the residuals the solve left free (two per
// observation, less three per point and six per free pose).
std::vector<Term> findOutliers(const Adjustment& adjustment, RefinementBlock& block,
                               AdjustmentReport* report) {
  std::vector<Term> outliers;
  double sum = 0.0;
  int kept = 0;
  // Points with a kept observation: a track's terms follow each other (addReprojections).
  long points = 0;
  int last_point = -1;
  for (const auto& [t, frame_id] : adjustment.terms) {
    const Track& track = block.tracks.at(t);
    const double e =
        block.featureError(track, block.frames.at(frame_id), track.observations.at(frame_id));
    if (e > kOutlierPixels) {
      outliers.emplace_back(t, frame_id);
    } else {
      sum += e * e;
      ++kept;
      if (t != last_point) ++points, last_point = t;
    }
  }
  report->observations = kept;
  report->rms = kept > 0 ? std::sqrt(sum / kept) : 0.0;
  report->outliers += static_cast<int>(outliers.size());
  const long redundancy = 2L * kept - 3L * points - 6L * adjustment.free_in_problem;
  if (redundancy >= kMinRedundancy) {
    block.pixel_sigma = std::clamp(std::sqrt(sum / redundancy), RefinementBlock::kFinestPixelSigma,
                                   RefinementBlock::kCoarsestPixelSigma);
  }
  return outliers;
}

// While the problem still holds every point: how well this flight tells each freed camera's
// focal length, as a share of it. The reprojection rows already weigh by the pixel sigma the
// solve took (`weighed_sigma`); the determinacy takes the scatter the solve left.
void reportFocalSigmas(Adjustment& adjustment, RefinementBlock& block,
                       const std::set<uint64_t>& free, double weighed_sigma, int threads,
                       AdjustmentReport* report) {
  const double pixel_sigma = std::max(report->rms, kLeastPixelSigma) / weighed_sigma;
  for (int c : adjustment.cameras_free) {
    std::vector<double*> reduced = {adjustment.find(block.cameras[c].refined.data())};
    for (uint64_t id : free) {
      BlockFrame& f = block.frames.at(id);
      double* pose = adjustment.find(f.pose.data());
      if (!pose) continue;
      reduced.push_back(pose);
      double* drift = adjustment.find(f.gps_drift.data());
      if (!adjustment.problem.IsParameterBlockConstant(drift)) reduced.push_back(drift);
    }
    double* lever = adjustment.find(block.gps_lever.data());
    if (lever && adjustment.problem.HasParameterBlock(lever)) reduced.push_back(lever);
    report->focal_sigma[c] =
        focalStandardDeviation(adjustment.problem, reduced, pixel_sigma, threads) /
        block.cameras[c].refined[0];
  }
}

// The outliers leave the block, and the points that went with them leave the solve.
void dropOutliers(RefinementBlock& block, const std::vector<Term>& outliers,
                  std::set<int>& tracks) {
  for (const auto& [t, frame_id] : outliers) block.dropObservation(t, frame_id);
  for (auto it = tracks.begin(); it != tracks.end();) {
    it = block.tracks.count(*it) ? std::next(it) : tracks.erase(it);
  }
}

}  // namespace

bool adjustBundle(RefinementBlock& block, const std::vector<uint64_t>& free_frames,
                  const RefinementOptions& options, bool adjust_cameras, AdjustmentReport* report) {
  const std::set<uint64_t> free(free_frames.begin(), free_frames.end());
  std::set<int> tracks = chooseTracks(block, free, options.points_per_frame);
  const Snapshot before(block, free, tracks);
  if (tracks.empty()) return false;

  // A second solve follows only when the first left enough of its observations off.
  for (int pass = 0; pass < 2; ++pass) {
    Adjustment adjustment(block, tracks.size());
    addReprojections(adjustment, block, free, tracks, options);
    addPosePriors(adjustment, block, free, options);
    if (adjustment.free_in_problem == 0) {
      before.restore(block);
      return false;
    }
    addCameras(adjustment, block, options, adjust_cameras);
    const bool solved = solve(adjustment, options.threads);
    adjustment.copyBack();
    if (!solved || !usable(block, before, tracks)) {
      before.restore(block);
      return false;
    }
    const double weighed_sigma = block.pixel_sigma;
    const std::vector<Term> outliers = findOutliers(adjustment, block, report);
    const bool last = pass == 1 || outliers.size() <= kOutlierShare * adjustment.terms.size();
    report->focal_sigma.clear();
    if (last) reportFocalSigmas(adjustment, block, free, weighed_sigma, options.threads, report);
    dropOutliers(block, outliers, tracks);
    if (last) break;
  }
  return true;
}

}  // namespace sfm
