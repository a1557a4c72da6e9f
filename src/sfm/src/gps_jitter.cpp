#include "gps_jitter.h"

#include <algorithm>
#include <cmath>

namespace sfm {
namespace {

// Standard deviations per median absolute deviation of a normal distribution.
constexpr double kSigmaPerMad = 1.4826;

}  // namespace

void GpsJitter::add(const Eigen::Vector3d& position, double time) {
  if (fixes_ >= 2) {
    // The middle fix against the line through its neighbours at its time; fixes without
    // increasing times are taken as evenly spaced.
    const double before = previous_time_[1] - previous_time_[0], after = time - previous_time_[1];
    const double share = before > 0.0 && after > 0.0 ? before / (before + after) : 0.5;
    const Eigen::Vector3d track = (1.0 - share) * previous_[0] + share * position;
    // The residual of independent fixes of one sigma has this deviation.
    const double spread = std::sqrt(1.0 + share * share + (1.0 - share) * (1.0 - share));
    const Eigen::Vector3d residual = (previous_[1] - track) / spread;
    for (int axis = 0; axis < 3; ++axis) residuals_.push_back(std::abs(residual[axis]));
  }
  previous_[0] = previous_[1];
  previous_time_[0] = previous_time_[1];
  previous_[1] = position;
  previous_time_[1] = time;
  ++fixes_;
}

double GpsJitter::scatter(int min_fixes) const {
  if (fixes_ < std::max(min_fixes, 3)) return HUGE_VAL;
  std::vector<double> r = residuals_;
  std::nth_element(r.begin(), r.begin() + r.size() / 2, r.end());
  return kSigmaPerMad * r[r.size() / 2];
}

}  // namespace sfm
