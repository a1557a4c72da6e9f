#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/carried_frame_image.h"
#include "framework/frame_image_decoding.h"
#include "framework/log.h"

namespace {

// The directory part of a frame's path is replaced when the node names an image folder.
constexpr size_t kMaxDirectoryLength = 200;

std::string imagePathOf(fw::MapFrame& frame, const std::string& imageFolder) {
  std::string path;
  frame.call("GetImagePath", &path);
  if (imageFolder.empty()) return path;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash < kMaxDirectoryLength) {
    return imageFolder + path.substr(slash);
  }
  return imageFolder + path;
}

}  // namespace

cv::Mat TerrainFusion::loadFrameImage(fw::MapFrame& frame, int factor) {
  const std::string path = imagePathOf(frame, options_.imagePath);
  std::vector<uchar> bytes;
  if (!fw::readFrameFile(path, bytes)) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw 1 - Wrong Path! " << path;
    return cv::Mat();
  }
  // Decoded by the rule every stage shares, so that terrain colours a frame as the dense
  // stage and the dataset saw it.
  cv::Mat image;
  try {
    image = fw::decodeFrameImageReduced(bytes, factor);
  } catch (const cv::Exception& e) {
    if (e.code == cv::Error::StsNoMem) throw;  // counted as a frame without memory
    image.release();
  }
  if (image.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw 2 - Wrong Path! " << path
                          << " (not an image this program reads)";
  }
  return image;
}

std::string TerrainFusion::decodeFrameImage(fw::MapFrame& frame, const fw::Camera& camera,
                                            int factor, DecodedImage& out) {
  out.factor = factor;
  // A frame that carries its image reduced is not decoded again.
  out.image = fw::carriedFrameImage(frame, cv::Size(camera.width(), camera.height()), factor);
  if (out.image.empty()) out.image = loadFrameImage(frame, factor);
  if (out.image.empty()) return "image unreadable";
  // A reduced decode keeps only the reduced size: an image a few pixels off its camera's
  // size shows only at factor 1.
  const int cols = (camera.width() + factor - 1) / factor;
  const int rows = (camera.height() + factor - 1) / factor;
  if (out.image.cols != cols || out.image.rows != rows) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: image of frame " << frame.id
                          << " decoded at 1/" << factor << " is " << out.image.cols << " x "
                          << out.image.rows << ", its camera " << camera.width() << " x "
                          << camera.height();
    return "image size differs from the camera's";
  }
  // `seen` stays empty for a pinhole camera: every pixel of the image has content.
  if (camera.typeName() == "PinHole") return "";
  out.image = undistorter_.undistort(camera, out.image, out.seen, factor);
  if (out.image.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame.id
                          << " could not be undistorted";
    return "image could not be undistorted";
  }
  return "";
}
