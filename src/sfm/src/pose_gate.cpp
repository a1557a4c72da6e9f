#include "pose_gate.h"

#include "framework/angles.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sfm {

namespace {
constexpr double kTiltSigmas = 4.0;
}  // namespace

GateVerdict gatePose(const BlockFrame& frame, const Eigen::Matrix3d& prior,
                     const std::vector<const BlockFrame*>& others, const RefinementOptions& options,
                     const std::array<double, 2>& gps_lever) {
  GateVerdict verdict;
  std::ostringstream detail;
  // The fix's white noise is held to its sigma, and the whole of its error, drift and white
  // noise together, to the stated one: a pose that the images pulled off its fix shows in one
  // of them. (The drift alone against its reach would refuse frames of a flight whose fixes
  // scatter as much as stated: there the drift has next to no reach, and a few centimetres of
  // it count as many sigmas.)
  const Eigen::Vector3d offset = frame.expectedFix(gps_lever) - frame.gps;
  const Eigen::Vector3d whole = offset - Eigen::Vector3d(frame.gps_drift.data());
  const double sigmas = std::max((offset.array() / frame.gps_sigma.array()).abs().maxCoeff(),
                                 (whole.array() / frame.stated_gps_sigma.array()).abs().maxCoeff());
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
  // Pitch and roll keep to their prior (the heading may not: it is often the course), each
  // axis on its own and to four of its sigmas: the recorded attitude is checked frame by
  // frame, and at three sigmas one good frame in two hundred would be refused, most flights
  // of a few hundred frames losing one, placed then from its neighbours degrees off. A solve
  // that turned a frame wrong moves it off its fix too.
  const Eigen::AngleAxisd local_turn(frame.cameraFromLocal().transpose() * prior);
  const double tilted = (local_turn.angle() * local_turn.axis()).head<2>().cwiseAbs().maxCoeff();
  if (frame.tilt_sigma > 0.0 && !(tilted <= kTiltSigmas * frame.tilt_sigma)) {
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
      verdict.near = other;
      return verdict;
    }
  }
  return verdict;
}

}  // namespace sfm
