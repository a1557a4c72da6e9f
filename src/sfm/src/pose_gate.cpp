#include "pose_gate.h"

#include "framework/angles.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sfm {

GateVerdict gatePose(const BlockFrame& frame, const Eigen::Matrix3d& prior,
                     const std::vector<const BlockFrame*>& others, const RefinementOptions& options,
                     const std::array<double, 2>& gps_lever) {
  GateVerdict verdict;
  std::ostringstream detail;
  // The fix's white noise and its slow drift are each held to their own sigmas: a pose that
  // the images pulled off its fix shows in one of them.
  const Eigen::Vector3d offset = frame.expectedFix(gps_lever) - frame.gps;
  const Eigen::Vector3d drift(frame.gps_drift.data());
  const double sigmas = std::max((offset.array() / frame.gps_sigma.array()).abs().maxCoeff(),
                                 (drift.array() / frame.driftSigma().array()).abs().maxCoeff());
  if (!(sigmas <= options.max_gps_sigmas)) {
    detail << kBeyondGpsReach << " (" << (frame.centre() - frame.gps).norm() << " m, " << sigmas
           << " sigmas)";
    verdict.failure = kBeyondGpsReach;
    verdict.detail = detail.str();
    return verdict;
  }
  const double turned =
      Eigen::AngleAxisd(frame.cameraFromLocal() * prior.transpose()).angle() * 180.0 / fw::kPi;
  // Without a recorded attitude the prior is a guess (straight down along the track, which
  // at a turn points sideways): nothing to be turned too far from.
  if (frame.recorded_yaw_sigma > 0.0 && !(turned <= options.max_turn)) {
    detail << kTurnedTooFar << " (" << turned << " degrees)";
    verdict.failure = kTurnedTooFar;
    verdict.detail = detail.str();
    return verdict;
  }
  // Pitch and roll keep to their prior (the heading may not: it is often the course).
  const Eigen::AngleAxisd local_turn(frame.cameraFromLocal().transpose() * prior);
  const double tilted = (local_turn.angle() * local_turn.axis()).head<2>().norm();
  if (frame.tilt_sigma > 0.0 && !(tilted <= options.max_gps_sigmas * frame.tilt_sigma)) {
    detail << kTiltedTooFar << " (" << tilted * 180.0 / fw::kPi << " degrees)";
    verdict.failure = kTiltedTooFar;
    verdict.detail = detail.str();
    return verdict;
  }
  for (const BlockFrame* other : others) {
    if (other->id == frame.id) continue;
    const double by_gps = (frame.gps - other->gps).norm();
    const double placed = (frame.centre() - other->centre()).norm();
    if (placed < options.min_distance_share * by_gps) {
      detail << kCollapsed << " (" << placed << " m from a frame whose fix is " << by_gps
             << " m away)";
      verdict.failure = kCollapsed;
      verdict.detail = detail.str();
      return verdict;
    }
  }
  return verdict;
}

}  // namespace sfm
