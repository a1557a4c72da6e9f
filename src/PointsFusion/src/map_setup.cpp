#include "map_setup.h"
#include "points_fusion.h"

#include "framework/config_store.h"
#include "framework/geodesy.h"
#include "framework/key_point_geometry.h"
#include "framework/log.h"
#include "framework/projection.h"
#include "framework/slam.h"
#include "src/PointsFusion/src/ground_level.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace map_setup {

size_t samplingStep(size_t frameCount) {
  if (frameCount <= 100) return 1;
  if (frameCount <= 500) return 2;
  return std::min<size_t>(frameCount / 500 + 2, 10);
}

std::vector<pi::Point3d> localKeyPoints(fw::MapFrame& frame) {
  std::vector<pi::Point3d> points;
  pi::Point3d lla;
  if (!frame.getGPSLLA(lla)) return points;
  const SE3 worldFromCamera = frame.getPoseSE3();
  // ENU axes at the camera, origin at the camera: the local pose is (E, t)^-1 (R, t).
  const fw::Matrix3 e =
      fw::ecefFromEnu(lla.y * fw::kRadiansPerDegreeShortPi, lla.x * fw::kRadiansPerDegreeShortPi);
  fw::Quaternion enuRotation;
  if (!fw::quaternionFromMatrix(e, enuRotation)) return points;
  const SE3 enuFromCamera =
      SE3::compose(SE3(enuRotation, worldFromCamera.t).inverse(), worldFromCamera);
  const fw::Camera camera = frame.getCamera(0);
  for (int i = 0; i < frame.keyPointCount(); ++i) {
    const auto inCamera = fw::keyPointInCamera(frame, camera, i);
    if (!inCamera) continue;
    const pi::Point3d p = enuFromCamera.transformPoint(*inCamera);
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) points.push_back(p);
  }
  return points;
}

std::optional<double> heightAboveGround(const std::vector<pi::Point3d>& points) {
  std::vector<double> heights;
  heights.reserve(points.size());
  for (const auto& p : points) heights.push_back(p.z);
  const std::optional<GroundLevel> ground = groundLevel(heights);
  if (!ground) return std::nullopt;
  // The camera is the local origin, so its height over the ground is |0 - ground|.
  return std::fabs(ground->offset);
}

std::optional<double> focalLength(fw::MapFrame& frame) {
  const double fx = frame.getCamera(0).parameters().fx;
  if (!std::isfinite(fx) || !(fx > 0)) return std::nullopt;
  return fx;
}

}  // namespace map_setup

bool PointsFusion::calculateZoomLevel(const std::shared_ptr<fw::Map>& map) {
  if (!map) return false;
  const std::vector<std::shared_ptr<fw::MapFrame>> frames = map->getFrames();
  if (frames.empty()) return false;

  struct HeightRecord {
    std::shared_ptr<fw::MapFrame> frame;
    double height;
  };
  std::vector<HeightRecord> records;
  std::optional<double> focal;
  const size_t step = map_setup::samplingStep(frames.size());
  for (size_t i = 0; i < frames.size(); i += step) {
    const std::shared_ptr<fw::MapFrame>& frame = frames[i];
    if (!frame) continue;
    if (const auto f = map_setup::focalLength(*frame)) focal = f;
    if (const auto h = map_setup::heightAboveGround(map_setup::localKeyPoints(*frame)))
      records.push_back({frame, *h});
  }

  fw::Var& store = fw::Var::instance();
  double height = 0.0;
  pi::Point3d origin;  // longitude, latitude, altitude
  bool fetchGps = false;
  if (records.empty()) {
    height = *store.GetDouble("pointsfusion.fake_height", 200.0);
    origin = store.GetPoint3d("pointsfusion.fake_origin", pi::Point3d(0, 0, 0));
  } else {
    std::sort(records.begin(), records.end(),
              [](const HeightRecord& a, const HeightRecord& b) { return a.height < b.height; });
    const HeightRecord& middle = records[records.size() / 2];
    height = middle.height;
    middle.frame->getGPSLLA(origin);
    fetchGps = true;
  }
  const double gsd = focal ? fw::groundSampleDistance(height, *focal) : std::nan("");
  FW_LOG(fw::kLogInfo) << "nMiddleHeight:" << height << ", f:" << (focal ? *focal : 0.0)
                       << ",gsd:" << gsd << ",frame size:" << records.size()
                       << ", fetchGPS:" << (fetchGps ? 1 : 0);
  if (!focal || !std::isfinite(gsd) || !(gsd > 0)) {
    // Zoom 0 would be one tile for the whole earth: leave the choice to terrain fusion.
    FW_LOG(fw::kLogWarning) << "PointsFusion::calculateZoomLevel: no usable focal length or "
                               "ground sample distance; the zoom is left to terrain fusion";
    return false;
  }

  projection_ = fw::projectionForCoordinate(*store.GetString("pointsfusion.coordinate", "GPS"));
  zoomLevel_ = projection_->zoomForGsd(gsd, origin.y);
  fetchGps_ = fetchGps;
  return true;
}
