#include "refinement_block.h"

#include "framework/angles.h"

#include <ceres/rotation.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

namespace sfm {

Eigen::Matrix3d BlockFrame::cameraFromLocal() const {
  Eigen::Matrix3d m;
  ceres::AngleAxisToRotationMatrix(pose.data(), ceres::ColumnMajorAdapter3x3(m.data()));
  return m;
}

Eigen::Matrix3d BlockFrame::directCameraFromLocal() const {
  Eigen::Matrix3d m;
  ceres::AngleAxisToRotationMatrix(attitude_prior.data(), ceres::ColumnMajorAdapter3x3(m.data()));
  return m;
}

Eigen::Vector3d BlockFrame::expectedFix(const std::array<double, 2>& lever) const {
  Eigen::Vector3d fix;
  fixOf(pose.data() + 3, lever.data(), gps_drift.data(), track, fix.data());
  return fix;
}

void BlockFrame::setPose(const Eigen::Matrix3d& camera_from_local, const Eigen::Vector3d& centre) {
  ceres::RotationMatrixToAngleAxis(ceres::ColumnMajorAdapter3x3(camera_from_local.data()),
                                   pose.data());
  pose[3] = centre.x();
  pose[4] = centre.y();
  pose[5] = centre.z();
}

void RefinementBlock::addMatches(uint64_t a, uint64_t b,
                                 const std::vector<std::pair<int, int>>& matches) {
  BlockFrame& fa = frames.at(a);
  BlockFrame& fb = frames.at(b);
  for (const auto& [ia, ib] : matches) {
    const int ta = fa.track_of[ia], tb = fb.track_of[ib];
    if (ta < 0 && tb < 0) {
      Track& t = tracks[next_track];
      t.observations = {{a, ia}, {b, ib}};
      fa.track_of[ia] = fb.track_of[ib] = next_track++;
    } else if (ta >= 0 && tb < 0) {
      if (tracks[ta].observations.emplace(b, ib).second) fb.track_of[ib] = ta;
    } else if (ta < 0) {
      if (tracks[tb].observations.emplace(a, ia).second) fa.track_of[ia] = tb;
    } else if (ta != tb) {
      Track& keep = tracks[ta];
      Track& merged = tracks[tb];
      const bool disjoint =
          std::none_of(merged.observations.begin(), merged.observations.end(),
                       [&](const auto& o) { return keep.observations.count(o.first) > 0; });
      if (!disjoint) continue;
      for (const auto& [frame, feature] : merged.observations) {
        keep.observations.emplace(frame, feature);
        frames.at(frame).track_of[feature] = ta;
      }
      if (keep.map_point_id == 0) keep.map_point_id = merged.map_point_id;
      keep.triangulated = false;
      tracks.erase(tb);
    }
  }
}

void RefinementBlock::normaliseFeatures(BlockFrame& frame) const {
  const CameraIntrinsics& camera = cameras[frame.camera];
  if (frame.normalised_with == camera.refined) return;
  for (size_t i = 0; i < frame.features.size(); ++i) {
    const cv::Point2f& px = frame.features.pixels[i];
    const auto n = camera.unproject(px.x, px.y);
    frame.features.normalised[i] = cv::Point2d(n[0], n[1]);
  }
  frame.normalised_with = camera.refined;
}

void RefinementBlock::dropObservation(int track, uint64_t frame) {
  const auto t = tracks.find(track);
  if (t == tracks.end()) return;
  const auto o = t->second.observations.find(frame);
  if (o == t->second.observations.end()) return;
  const auto f = frames.find(frame);
  if (f != frames.end()) f->second.track_of[o->second] = -1;
  t->second.observations.erase(o);
  if (t->second.observations.size() < 2) {
    for (const auto& [other, feature] : t->second.observations) {
      const auto g = frames.find(other);
      if (g != frames.end()) g->second.track_of[feature] = -1;
    }
    tracks.erase(t);
  }
}

void RefinementBlock::dropFrame(uint64_t id) {
  const auto f = frames.find(id);
  if (f == frames.end()) return;
  std::vector<int> seen;
  for (int t : f->second.track_of) {
    if (t >= 0) seen.push_back(t);
  }
  for (int t : seen) dropObservation(t, id);
  frames.erase(id);
}

double RefinementBlock::reprojectionError(const Track& track, const BlockFrame& frame,
                                          int feature) const {
  return errorAt(track.point, frame, frame.cameraFromLocal(), feature);
}

double RefinementBlock::errorAt(const Eigen::Vector3d& point, const BlockFrame& frame,
                                const Eigen::Matrix3d& camera_from_local, int feature) const {
  const Eigen::Vector3d p = camera_from_local * (point - frame.centre());
  if (!(p.z() > 0.0)) return std::numeric_limits<double>::infinity();
  double pixel[2];
  projectToPixel(cameras[frame.camera].refined.data(), cameras[frame.camera], p.data(), pixel);
  const cv::Point2f& seen = frame.features.pixels[feature];
  return std::hypot(pixel[0] - seen.x, pixel[1] - seen.y);
}

std::vector<cv::Point2f> RefinementBlock::expectedIn(const BlockFrame& from,
                                                     const BlockFrame& to) const {
  const float nowhere = std::numeric_limits<float>::quiet_NaN();
  std::vector<cv::Point2f> out(from.features.size(), cv::Point2f(nowhere, nowhere));
  const Eigen::Matrix3d local_from_camera = from.directCameraFromLocal().transpose();
  const Eigen::Matrix3d to_from_local = to.directCameraFromLocal();
  const double ground = 0.5 * (from.ground + to.ground);
  const CameraIntrinsics& camera = cameras[to.camera];
  for (size_t i = 0; i < out.size(); ++i) {
    const cv::Point2d& n = from.features.normalised[i];
    const Eigen::Vector3d ray = local_from_camera * Eigen::Vector3d(n.x, n.y, 1.0);
    const double reach = (ground - from.gps.z()) / ray.z();
    if (!(reach > 0.0)) continue;
    const Eigen::Vector3d seen = to_from_local * (from.gps + reach * ray - to.gps);
    if (!(seen.z() > 0.0)) continue;
    double pixel[2];
    projectToPixel(camera.refined.data(), camera, seen.data(), pixel);
    out[i] = cv::Point2f(static_cast<float>(pixel[0]), static_cast<float>(pixel[1]));
  }
  return out;
}

bool RefinementBlock::triangulate(int id, double min_angle, double max_error) {
  Track& track = tracks.at(id);
  track.triangulated = false;
  // The placed frames seeing it, each with its turn taken once for its ray and its error.
  struct Seen {
    const BlockFrame* frame;
    int feature;
    Eigen::Matrix3d camera_from_local;
  };
  std::vector<Seen> seen;
  seen.reserve(track.observations.size());
  for (const auto& [frame_id, feature] : track.observations) {
    const BlockFrame& f = frames.at(frame_id);
    if (f.placed) seen.push_back({&f, feature, f.cameraFromLocal()});
  }
  if (seen.size() < 2) return false;
  // The point nearest to every placed frame's ray, in the least-squares sense.
  Eigen::Matrix3d a = Eigen::Matrix3d::Zero();
  Eigen::Vector3d b = Eigen::Vector3d::Zero();
  std::vector<Eigen::Vector3d> rays;
  rays.reserve(seen.size());
  for (const Seen& s : seen) {
    const cv::Point2f& px = s.frame->features.pixels[s.feature];
    const auto n = cameras[s.frame->camera].unproject(px.x, px.y);
    const Eigen::Vector3d ray =
        (s.camera_from_local.transpose() * Eigen::Vector3d(n[0], n[1], 1.0)).normalized();
    const Eigen::Matrix3d off_ray = Eigen::Matrix3d::Identity() - ray * ray.transpose();
    a += off_ray;
    b += off_ray * s.frame->centre();
    rays.push_back(ray);
  }
  double widest = 0.0;
  for (size_t i = 0; i < rays.size(); ++i) {
    for (size_t j = i + 1; j < rays.size(); ++j)
      widest = std::max(widest, std::acos(std::clamp(rays[i].dot(rays[j]), -1.0, 1.0)));
  }
  if (widest * 180.0 / fw::kPi < min_angle) return false;
  const Eigen::Vector3d point = a.ldlt().solve(b);
  if (!point.allFinite()) return false;
  track.point = point;
  for (const Seen& s : seen) {
    if (!(errorAt(point, *s.frame, s.camera_from_local, s.feature) * s.frame->features.scale <=
          max_error))
      return false;
  }
  track.triangulated = true;
  return true;
}

}  // namespace sfm
