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
  std::vector<pi::Point3d> ground = sparse_depths::plausiblePoints(frame);
  if (!ground.empty()) return ground;
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

bool enoughParallax(const View& reference, const View& other) {
  const double depth = medianDistance(reference);
  return depth <= 0 || distance(reference.centre, other.centre) >= kMinParallax * depth;
}

// `candidate` chose `reference` as the partner of its own depth map.
bool pairedWith(const View& candidate, const View& reference) {
  return candidate.partner && reference.frame && *candidate.partner == reference.frame->id;
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
  const double nextShare =
      next && enoughParallax(reference, *next) ? seenShare(reference, *next) : -1.0;
  const bool nextUsable = nextShare >= kMinFallbackShare;
  const View* best = nullptr;
  double bestShare = -1.0;
  for (auto candidate = recent.rbegin(); candidate != recent.rend(); ++candidate) {
    if (!*candidate || !enoughParallax(reference, **candidate)) continue;
    if (nextUsable && pairedWith(**candidate, reference)) continue;
    const double share = seenShare(reference, **candidate);
    if (share > bestShare) {
      bestShare = share;
      best = *candidate;
    }
  }
  if (next && nextShare >= kMinOverlap && nextShare + kClearlyMore >= bestShare) return next;
  if (best && bestShare >= kMinOverlap) return best;
  // Nothing shares enough: the frame that shares the most, the next one when in doubt.
  if (next && (!best || nextShare >= bestShare)) return next;
  if (best) return best;
  return recent.empty() ? nullptr : recent.back();
}

std::vector<const View*> fallbacks(const View& reference, const View* chosen, const View* next,
                                   const std::vector<const View*>& recent) {
  std::vector<std::pair<double, const View*>> shared;
  std::vector<const View*> candidates(recent.rbegin(), recent.rend());
  candidates.insert(candidates.begin(), next);
  for (const View* candidate : candidates) {
    if (!candidate || candidate == chosen || !enoughParallax(reference, *candidate)) continue;
    const double share = seenShare(reference, *candidate);
    if (share >= kMinFallbackShare) shared.emplace_back(share, candidate);
  }
  // Stable: of equal shares the next frame, then the newest, goes first.
  std::stable_sort(shared.begin(), shared.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<const View*> tried;
  for (size_t i = 0; i < shared.size() && i < kMaxFallbacks; ++i) tried.push_back(shared[i].second);
  return tried;
}

}  // namespace pair_choice
