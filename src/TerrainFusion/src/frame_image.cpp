#include "src/TerrainFusion/src/TerrainFusion.h"

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

// The frame's image reduced by `factor` from its file, from the reduced copy the frame carries
// (the front end's, handed on to the back end) when `factor` is a multiple of its reduction:
// reduced further by block means, the rule every stage shares. Empty when it carries none
// that fits, or a whole image (which does not stand in for the file).
cv::Mat carriedImage(fw::MapFrame& frame, cv::Size camera, int factor) {
  int carried = 1;
  frame.call("GetImageReduction", &carried);
  if (carried < 2 || factor % carried != 0) return cv::Mat();
  const fw::GImage image = frame.getImage(0, 0);
  if (image.type != CV_8UC3 || image.cols != (camera.width + carried - 1) / carried ||
      image.rows != (camera.height + carried - 1) / carried)
    return cv::Mat();
  return fw::reduceFrameImage(cv::Mat(image), factor / carried);
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
  out.image = carriedImage(frame, cv::Size(camera.width(), camera.height()), factor);
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
