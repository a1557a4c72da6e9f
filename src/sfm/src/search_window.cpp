#include "search_window.h"

#include <algorithm>
#include <cmath>

namespace sfm {
namespace {

constexpr double kLeastSearch = 0.2;  // share of the image's long side

double attitudeSigma(const BlockFrame& f) { return std::max(f.tilt_sigma, f.yaw_sigma); }

}  // namespace

double searchRadius(const BlockFrame& a, const BlockFrame& b, double focal, double long_side,
                    const RefinementOptions& options) {
  if (!(options.search_sigmas > 0.0)) return 0.0;
  const double height = std::max(b.gps.z() - b.ground, 1.0);
  const double position =
      std::sqrt(a.gps_sigma.head<2>().squaredNorm() + b.gps_sigma.head<2>().squaredNorm());
  const double turn = std::hypot(attitudeSigma(a), attitudeSigma(b));
  const double radius = std::max(options.search_sigmas * focal * (position / height + turn),
                                 kLeastSearch * long_side);
  return radius < long_side ? radius : 0.0;
}

}  // namespace sfm
