#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/log.h"

#include <opencv2/imgcodecs.hpp>

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
  const std::string path = imagePathOf(*frame, *settings_.GetString("imagepath", ""));
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
  std::vector<uchar> bytes(size > 0 ? size_t(size) : 0);
  if (!in || size < 0 || !in.seekg(0) ||
      !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw 1 - Wrong Path! " << path;
    return cv::Mat();
  }
  cv::Mat image;
  try {
    image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    image.release();
  }
  if (image.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw 2 - Wrong Path! " << path;
    return cv::Mat();
  }
  if (image.type() == CV_8UC4) {
    cv::Mat bgr;
    const int fromTo[] = {0, 0, 1, 1, 2, 2};
    bgr.create(image.size(), CV_8UC3);
    cv::mixChannels(&image, 1, &bgr, 1, fromTo, 3);
    image = bgr;
  }
  if (image.type() != CV_8UC3) {
    FW_LOG(fw::kLogError) << "imgIn.type() is CV_8UC3 expected; frame " << frame->id << " has type "
                          << image.type();
    return cv::Mat();
  }
  return image;
}

cv::Mat TerrainFusion::undistortedImage(const fw::Camera& camera, const cv::Mat& image) {
  std::shared_ptr<const fw::Undistorter> undistorter;
  {
    std::lock_guard<std::mutex> lock(undistorterMutex_);
    const std::string description = camera.info();
    if (!undistorter_ || undistorterCamera_ != description) {
      const std::vector<double> p = camera.getParameters();
      if (p.size() < 6) return cv::Mat();
      const fw::Camera pinhole(std::vector<double>(p.begin(), p.begin() + 6));
      auto rebuilt = std::make_shared<fw::Undistorter>(camera, pinhole);
      undistorter_ = rebuilt;
      undistorterCamera_ = description;
    }
    undistorter = undistorter_;
  }
  const fw::GImage in(image);
  fw::GImage out;
  if (!undistorter->isReady() || !undistorter->undistort(in, out)) return cv::Mat();
  return cv::Mat(out).clone();
}
