#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/log.h"
#include "src/TerrainFusion/src/local_rasteriser.h"

#include <utility>

bool TerrainFusion::makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame,
                                const std::shared_ptr<LocalDSMData>& local,
                                const std::vector<pi::Point3d>& points,
                                const std::vector<pi::Point3d>& morePoints) {
  if (!frame || !local) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: no frame or no raster record";
    return false;
  }
  if (points.empty() && morePoints.empty()) {
    FW_LOG(fw::kLogError) << "Zero point was passed in - Frame ID: " << frame->id
                          << " Point Cnt: " << points.size();
    if (local->failure.empty()) local->failure = "no points";
    return false;
  }
  if (!projection_) return false;
  const fw::Camera camera = frame->getCamera(0);
  const fw::CameraParameters intrinsics = camera.parameters();
  if (!intrinsics.hasIntrinsics() || !(intrinsics.fx != 0.0) || !(intrinsics.fy != 0.0) ||
      camera.width() < 1 || camera.height() < 1) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no usable camera " << camera.info();
    local->failure = "unusable camera";
    return false;
  }
  local->timestamp = frame->timestamp;
  if (stop_) return false;
  RasterFrame input;
  input.id = frame->id;
  input.imageSize = cv::Size(camera.width(), camera.height());
  input.pinhole = intrinsics.pinhole();
  input.worldFromCamera = frame->getPoseSE3();
  input.decode = [&](int factor, DecodedImage& out) {
    return decodeFrameImage(*frame, camera, factor, out);
  };
  return LocalRasteriser(*projection_, placement_, memory_, stop_)
      .rasterise(input, points, *local, morePoints);
}
