#pragma once

#include <Eigen/Core>

#include <vector>

// How far consecutive GPS fixes of a flight scatter about a smooth track: each fix against
// the time-weighted mean of its neighbours, a robust spread over the flight so far (the few
// fixes at turns count little). Only this scatter tells the images apart from the fixes: an
// error that consecutive fixes share moves the whole block alike, and the images cannot
// see it. A flight list's stated sigmas are often a generous default; this is what the
// fixes themselves show.
namespace sfm {

class GpsJitter {
 public:
  // Fixes in the order flown, local metres, with their times in seconds.
  void add(const Eigen::Vector3d& position, double time);

  // Metres on each axis: robust scatter of the fixes about their track, or infinity while
  // fewer than `min_fixes` fixes have come.
  double scatter(int min_fixes) const;

 private:
  std::vector<double> residuals_;  // one per axis and inner fix, in sigmas of a fix
  Eigen::Vector3d previous_[2];    // the last two fixes, the older first
  double previous_time_[2] = {0.0, 0.0};
  int fixes_ = 0;
};

}  // namespace sfm
