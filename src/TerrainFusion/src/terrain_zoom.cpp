#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/calc_plane.h"
#include "src/TerrainFusion/src/point_text.h"

#include "framework/geodesy.h"
#include "framework/key_point_geometry.h"
#include "framework/log.h"
#include "src/PointsFusion/src/ground_level.h"
#include "src/TerrainFusion/src/terrain_geometry.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

// Frames closer than this to the reconstruction's origin are in local coordinates.
constexpr double kLocalFrameRadius = 100000.0;
using fw::kDeepestZoom;

bool finite(const pi::Point3d& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The key points that see a map point, in the camera's coordinates.
std::vector<pi::Point3d> keyPointsInCamera(fw::MapFrame& frame, const fw::Camera& camera) {
  std::vector<pi::Point3d> points;
  const int count = frame.keyPointCount();
  for (int i = 0; i < count; ++i) {
    if (const auto p = fw::keyPointInCamera(frame, camera, i)) points.push_back(*p);
  }
  return points;
}

// (longitude, latitude, height) from "lon lat h", "lon,lat,h" or "[lon, lat, h]".
bool parseGeodetic(std::string text, pi::Point3d& lla) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '[' || c == ']' || c == ','; }, ' ');
  std::istringstream in(text);
  pi::Point3d p;
  std::string rest;
  if (!(in >> p.x >> p.y >> p.z) || (in >> rest) || !finite(p)) return false;
  lla = p;
  return true;
}

}  // namespace

bool TerrainFusion::fixPlacementAndZoom(const std::shared_ptr<fw::MapFrame>& frame) {
  if (!frame) return false;
  std::lock_guard<std::mutex> lock(zoomMutex_);
  if (placement_.placed()) return true;
  const bool computeZoom = placement_.zoomToCompute();
  const pi::Point3d position = frame->getPoseSE3().t;
  const double distance =
      std::sqrt(position.x * position.x + position.y * position.y + position.z * position.z);
  const bool ok = distance <= kLocalFrameRadius ? calcTileZoom(frame, computeZoom)
                                                : calcHeightOffsetAndZoom(frame, computeZoom);
  if (!ok) {
    FW_LOG(fw::kLogError) << "Failed updateAlt.";
    return false;
  }
  // Cleared only now: a frame that cannot place the run leaves the choice to the next one.
  placement_.markPlaced();
  return true;
}

void TerrainFusion::fixZoomFromReadyRasters(int32_t zoom, int32_t zoomOffset) {
  std::lock_guard<std::mutex> lock(zoomMutex_);
  const int32_t autoZoom = options_.autoZoom;
  const double level = double(zoom) + double(zoomOffset) - double(autoZoom);
  if (!placement_.chooseZoomFromReadyRasters(
          int32_t(std::min<double>(std::max(level, 0.0), maxZoomLevel_)))) {
    return;
  }
  FW_LOG(fw::kLogInfo) << "TileZoom:" << placement_.zoom();
  publishZoom();
}

int32_t TerrainFusion::zoomForGsd(double gsd, double latitude) const {
  const int base = projection_->zoomForGsd(gsd, latitude);
  const double lowered = double(base) - std::round(std::log(scale_) / std::log(2.0));
  return int32_t(std::min<double>(std::max(lowered, 0.0), std::min(maxZoomLevel_, kDeepestZoom)));
}

bool TerrainFusion::calcHeightOffsetAndZoom(const std::shared_ptr<fw::MapFrame>& frame,
                                            bool computeZoom) {
  if (!frame || !projection_) return false;
  const SE3 pose = frame->getPoseSE3();
  pi::Point3d lla;
  if (!frame->getGPSLLA(lla) || !finite(lla)) return false;
  const SE3 enuFrame(terrain::enuRotation(lla.x, lla.y), pose.t);
  const SE3 enuInverse = enuFrame.inverse();
  if (!computeZoom) {
    placement_.setEcefFromEnu(enuFrame);
    return true;
  }
  const fw::Camera camera = frame->getCamera(0);
  const SE3 enuFromCamera = SE3::compose(enuInverse, pose);
  std::vector<double> heights;
  for (const pi::Point3d& p : keyPointsInCamera(*frame, camera)) {
    heights.push_back(enuFromCamera.transformPoint(p).z);
  }
  const std::optional<GroundLevel> ground = groundLevel(heights);
  if (!ground) return false;
  const double offset = ground->offset;
  const size_t count = ground->count;
  const double height = std::fabs(0.0 - offset);  // the frame is the ENU origin
  const double f = camera.parameters().fx;
  const double gsd = fw::groundSampleDistance(height, f);
  if (!(gsd > 0.0) || !std::isfinite(gsd)) {
    FW_LOG(fw::kLogError) << "TerrainFusion: frame " << frame->id << " gives no usable GSD (" << gsd
                          << ")";
    return false;
  }
  placement_.setEcefFromEnu(enuFrame);
  placement_.setHeightOffset(static_cast<float>(offset));
  if (ground->clustered) {
    FW_LOG(fw::kLogInfo) << "Terrainfusion Height Offset: " << offset
                         << ", cluster size: " << count;
  } else {
    FW_LOG(fw::kLogInfo) << "Terrainfusion Height Offset: " << offset
                         << ", pointCloud size: " << count;
  }
  FW_LOG(fw::kLogInfo) << "curHeight:" << height << ", f" << f << ",gsd:" << gsd << ",lla" << lla;
  placement_.setComputedZoom(zoomForGsd(gsd, lla.y));
  publishZoom();
  FW_LOG(fw::kLogInfo) << "Terrainfusion Zoom Level: " << placement_.zoom();
  return true;
}

bool TerrainFusion::calcTileZoom(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom) {
  if (!frame || !projection_) return false;
  const SE3 pose = frame->getPoseSE3();
  const double s = frame->getPoseScale();
  if (!(s > 0.0) || !std::isfinite(s)) {
    FW_LOG(fw::kLogError) << "TerrainFusion: frame " << frame->id << " has pose scale " << s;
    return false;
  }
  const fw::Camera camera = frame->getCamera(0);
  SE3 plane;
  std::vector<int> outliers;
  if (!CalcPlane(keyPointsInCamera(*frame, camera), plane, outliers, 0.1 * s, planeRandom_)) {
    FW_LOG(fw::kLogWarning) << "CalcPlane: too few points to calc plane.";
  }
  // The plane's z axis must point away from the camera side (down in the camera's view).
  if (fw::transformPoint(plane.q, pi::Point3d(0, 0, 1)).z > 0.0) {
    plane.q = fw::quaternionProduct(plane.q, fw::Quaternion(1.0, 0.0, 0.0, 0.0));
  }
  pi::Point3d origin(0, 0, 0);
  const std::string& originText = options_.fakeOrigin;
  if (!originText.empty() && !parseGeodetic(originText, origin)) {
    FW_LOG(fw::kLogWarning) << "TerrainFusion: terrainfusion.fake_origin \"" << originText
                            << "\" is not three numbers; using 0 0 0";
  }
  const double fakeHeight = options_.fakeHeight;
  const double f = camera.parameters().fx;
  const double gsd = fw::groundSampleDistance(fakeHeight, f);
  if (!(fakeHeight > 0.0) || !std::isfinite(fakeHeight) ||
      (computeZoom && (!(gsd > 0.0) || !std::isfinite(gsd)))) {
    FW_LOG(fw::kLogError) << "TerrainFusion: frame " << frame->id << " gives no usable GSD (fake "
                          << "height " << fakeHeight << ", fx " << f << ")";
    return false;
  }
  const SE3 enuFrame(terrain::enuRotation(origin.x, origin.y),
                     fw::geodeticToECEF(origin.y, origin.x, origin.z));
  // Reconstruction -> plane coordinates, scaled to metres, then placed at the fake origin.
  const SE3 planeFromWorld = SE3::compose(pose, plane).inverse();
  const double metres = fakeHeight / s;
  const pi::Point3d offset = planeFromWorld.t;
  const pi::Point3d scaledOffset = fw::transformPoint(
      enuFrame.q, pi::Point3d(offset.x * metres, offset.y * metres, offset.z * metres));
  Sim3 placement;
  placement.q = fw::quaternionProduct(enuFrame.q, planeFromWorld.q);
  placement.t = pi::Point3d(enuFrame.t.x + scaledOffset.x, enuFrame.t.y + scaledOffset.y,
                            enuFrame.t.z + scaledOffset.z);
  placement.s = metres;

  placement_.setLocal(enuFrame, placement);
  if (computeZoom) {
    placement_.setComputedZoom(zoomForGsd(gsd, origin.y));
    FW_LOG(fw::kLogInfo) << "TileZoom:" << placement_.zoom();
    publishZoom();
  }
  return true;
}
