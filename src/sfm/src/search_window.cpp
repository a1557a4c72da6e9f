#include "search_window.h"

#include "framework/angles.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sfm {
namespace {

constexpr double kLeastSearch = 0.2;  // share of the image's long side
// Least cosine between two frames' directions of travel for one to tell the other's heading
// error: frames of one strip, not of a strip flown back or of a turn.
constexpr double kAlikeTravel = 0.94;  // 20 degrees

double attitudeSigma(const BlockFrame& f) { return std::max(f.tilt_sigma, f.yaw_sigma); }

// The window's radius for position and attitude sigmas (metres, radians) of the pair.
double radiusFor(const BlockFrame& b, double position, double turn, double focal, double long_side,
                 const RefinementOptions& options) {
  const double height = std::max(b.gps.z() - b.ground, 1.0);
  const double radius = std::max(options.search_sigmas * focal * (position / height + turn),
                                 kLeastSearch * long_side);
  return radius < long_side ? radius : 0.0;
}

double positionSigma(const BlockFrame& a, const BlockFrame& b) {
  return std::sqrt(a.gps_sigma.head<2>().squaredNorm() + b.gps_sigma.head<2>().squaredNorm());
}

// Where a's features on the level ground between the two frames show in b, a seen from
// `a_centre` turned by `a_from_local` and b from `b_centre` turned by `b_from_local`.
std::vector<cv::Point2f> placesIn(const RefinementBlock& block, const BlockFrame& a,
                                  const Eigen::Matrix3d& a_from_local,
                                  const Eigen::Vector3d& a_centre, const BlockFrame& b,
                                  const Eigen::Matrix3d& b_from_local,
                                  const Eigen::Vector3d& b_centre) {
  const float nowhere = std::numeric_limits<float>::quiet_NaN();
  std::vector<cv::Point2f> out(a.features.size(), cv::Point2f(nowhere, nowhere));
  const Eigen::Matrix3d local_from_a = a_from_local.transpose();
  const double ground = 0.5 * (a.ground + b.ground);
  const CameraIntrinsics& camera = block.cameras[b.camera];
  for (size_t i = 0; i < out.size(); ++i) {
    const cv::Point2d& n = a.features.normalised[i];
    const Eigen::Vector3d ray = local_from_a * Eigen::Vector3d(n.x, n.y, 1.0);
    const double reach = (ground - a_centre.z()) / ray.z();
    if (!(reach > 0.0)) continue;
    const Eigen::Vector3d seen = b_from_local * (a_centre + reach * ray - b_centre);
    if (!(seen.z() > 0.0)) continue;
    double pixel[2];
    projectToPixel(camera.refined.data(), camera, seen.data(), pixel);
    out[i] = cv::Point2f(static_cast<float>(pixel[0]), static_cast<float>(pixel[1]));
  }
  return out;
}

}  // namespace

double searchRadius(const BlockFrame& a, const BlockFrame& b, double focal, double long_side,
                    const RefinementOptions& options) {
  if (!(options.search_sigmas > 0.0)) return 0.0;
  return radiusFor(b, positionSigma(a, b), std::hypot(attitudeSigma(a), attitudeSigma(b)), focal,
                   long_side, options);
}

SearchWindow searchWindow(const RefinementBlock& block, const BlockFrame& a, const BlockFrame& b,
                          double focal, double long_side, const RefinementOptions& options) {
  SearchWindow window;
  window.radius = searchRadius(a, b, focal, long_side, options);
  if (window.radius > 0.0) {
    window.expected = block.expectedIn(a, b);
    return window;
  }
  const bool alike = a.track.squaredNorm() > 0.0 && b.track.squaredNorm() > 0.0 &&
                     a.track.dot(b.track) >= kAlikeTravel;
  if (!(options.search_sigmas > 0.0) || !a.placed || !alike) return window;
  const double untold = options.untold_tilt_sigma * fw::kPi / 180.0;
  const double turn = std::hypot(a.tilt_sigma > 0.0 ? a.tilt_sigma : untold,
                                 b.tilt_sigma > 0.0 ? b.tilt_sigma : untold);
  window.radius = radiusFor(b, positionSigma(a, b), turn, focal, long_side, options);
  if (!(window.radius > 0.0)) return window;
  const Eigen::Matrix3d a_from_local = a.cameraFromLocal();
  const Eigen::Matrix3d record_turn = a.directCameraFromLocal().transpose() * a_from_local;
  window.expected = placesIn(block, a, a_from_local, a.centre(), b,
                             b.directCameraFromLocal() * record_turn, b.gps + (a.centre() - a.gps));
  return window;
}

}  // namespace sfm
