#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/frame_image_decoding.h"
#include "framework/log.h"

#include <fstream>

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

cv::Mat TerrainFusion::loadFrameImage(const std::shared_ptr<fw::MapFrame>& frame) {
  const std::string path = imagePathOf(*frame, options_.imagePath);
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
  std::vector<uchar> bytes(size > 0 ? size_t(size) : 0);
  if (!in || size < 0 || !in.seekg(0) ||
      !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw 1 - Wrong Path! " << path;
    return cv::Mat();
  }
  // Decoded by the rule every stage shares, so that terrain colours a frame as the dense
  // stage and the dataset saw it.
  cv::Mat image;
  try {
    image = fw::decodeFrameImage(bytes);
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

cv::Mat TerrainFusion::undistortedImage(const fw::Camera& camera, const cv::Mat& image,
                                        cv::Mat& seen) {
  return undistorter_.undistort(camera, image, seen);
}
