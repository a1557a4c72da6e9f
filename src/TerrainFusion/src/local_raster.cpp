#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/log.h"
#include "src/TerrainFusion/src/local_rasteriser.h"

#include <utility>

bool TerrainFusion::makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame,
                                const std::shared_ptr<LocalDSMData>& local,
                                const std::vector<pi::Point3d>& points) {
  if (!frame || !local) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: no frame or no raster record";
    return false;
  }
  if (points.empty()) {
    FW_LOG(fw::kLogError) << "Zero point was passed in - Frame ID: " << frame->id
                          << " Point Cnt: " << points.size();
    if (local->failure.empty()) local->failure = "no points";
    return false;
  }
  if (!projection_) return false;
  const fw::Camera camera = frame->getCamera(0);
  const std::vector<double> intrinsics = camera.getParameters();
  if (intrinsics.size() < 6 || !(intrinsics[2] != 0.0) || !(intrinsics[3] != 0.0)) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no usable camera " << camera.info();
    local->failure = "unusable camera";
    return false;
  }
  RasterFrame input;
  input.id = frame->id;
  input.image = loadFrameImage(frame);
  if (input.image.empty()) {
    local->failure = "image unreadable";
    return false;
  }
  if (input.image.cols != camera.width() || input.image.rows != camera.height()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: image of frame " << frame->id << " is "
                          << input.image.cols << " x " << input.image.rows << ", its camera "
                          << camera.width() << " x " << camera.height();
    local->failure = "image size differs from the camera's";
    return false;
  }
  // `seen` stays empty for a pinhole camera: every pixel of the image has content.
  if (camera.typeName() != "PinHole") {
    input.image = undistortedImage(camera, input.image, input.seen);
    if (input.image.empty()) {
      FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                            << " could not be undistorted";
      local->failure = "image could not be undistorted";
      return false;
    }
  }
  local->timestamp = frame->timestamp;
  if (stop_) return false;
  input.pinhole = cv::Vec4d(intrinsics[2], intrinsics[3], intrinsics[4], intrinsics[5]);
  input.worldFromCamera = frame->getPoseSE3();
  return LocalRasteriser(*projection_, placement_, memory_, stop_).rasterise(input, points, *local);
}
