#include "src/PointsFusion/src/stereo_dense/pair_choice.h"

#include "src/PointsFusion/src/stereo_dense/sparse_depths.h"

#include <algorithm>
#include <cmath>

namespace pair_choice {

namespace {

double distance(const pi::Point3d& a, const pi::Point3d& b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                   (a.z - b.z) * (a.z - b.z));
}

// Camera coordinates of the ground: plausible sparse points, or else the image grid at the
// height above ground.
std::vector<pi::Point3d> groundInCamera(fw::MapFrame& frame) {
  const std::vector<pi::Point3d> points = sparse_depths::cameraPoints(frame);
  std::vector<double> depths;
  for (const pi::Point3d& p : points) depths.push_back(p.z);
  const std::vector<double> kept = sparse_depths::plausible(depths);
  if (kept.size() >= sparse_depths::kMinDepths) {
    const auto [low, high] = std::minmax_element(kept.begin(), kept.end());
    std::vector<pi::Point3d> ground;
    for (const pi::Point3d& p : points)
      if (p.z >= *low && p.z <= *high) ground.push_back(p);
    return ground;
  }
  double height = 0;
  if (!sparse_depths::heightAboveGround(frame, &height)) return {};
  return sparse_depths::groundGrid(frame, height);
}

double medianDistance(const View& view) {
  std::vector<double> d;
  for (const pi::Point3d& p : view.ground) d.push_back(distance(p, view.centre));
  if (d.empty()) return 0;
  const auto middle = d.begin() + (d.size() - 1) / 2;
  std::nth_element(d.begin(), middle, d.end());
  return *middle;
}

bool worthMatching(const View& reference, const View& other) {
  if (seenShare(reference, other) < kMinOverlap) return false;
  const double depth = medianDistance(reference);
  return depth <= 0 || distance(reference.centre, other.centre) >= kMinParallax * depth;
}

}  // namespace

View viewOf(const std::shared_ptr<fw::MapFrame>& frame) {
  View view;
  view.frame = frame;
  if (!frame) return view;
  const SE3 pose = frame->getPoseSE3();
  view.centre = pose.t;
  for (const pi::Point3d& p : groundInCamera(*frame)) view.ground.push_back(pose.transformPoint(p));
  return view;
}

double seenShare(const View& from, const View& other) {
  if (from.ground.empty()) return 1.0;
  if (!other.frame) return 0.0;
  const SE3 cameraFromWorld = other.frame->getPoseSE3().inverse();
  const fw::Camera camera = other.frame->getCamera(0);
  size_t seen = 0;
  for (const pi::Point3d& p : from.ground) {
    const pi::Point3d q = cameraFromWorld.transformPoint(p);
    if (!(q.z > 0)) continue;
    const fw::Point2d pixel = camera.Project(q);
    if (pixel.x >= 0 && pixel.y >= 0 && pixel.x < camera.width() && pixel.y < camera.height())
      ++seen;
  }
  return double(seen) / double(from.ground.size());
}

const View* choose(const View& reference, const View* next,
                   const std::vector<const View*>& recent) {
  if (next && worthMatching(reference, *next)) return next;
  const View* best = nullptr;
  double longest = -1;
  for (const View* candidate : recent) {
    if (!candidate || !worthMatching(reference, *candidate)) continue;
    const double baseline = distance(reference.centre, candidate->centre);
    if (baseline > longest) {
      longest = baseline;
      best = candidate;
    }
  }
  if (best) return best;
  if (next) return next;
  return recent.empty() ? nullptr : recent.back();
}

}  // namespace pair_choice
