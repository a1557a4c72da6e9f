#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/frame_image_decoding.h"
#include "framework/log.h"

#include <opencv2/imgproc.hpp>

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
  std::shared_ptr<const UndistortionMaps> maps;
  {
    std::lock_guard<std::mutex> lock(undistorterMutex_);
    const std::string description = camera.info();
    if (!undistortion_ || undistorterCamera_ != description) {
      const std::vector<double> p = camera.getParameters();
      if (p.size() < 6 || !camera.isValid()) return cv::Mat();
      const fw::Camera pinhole(std::vector<double>(p.begin(), p.begin() + 6));
      if (!pinhole.isValid()) return cv::Mat();
      FW_LOG(fw::kLogInfo) << "Undistorter:\n    Camera IN : " << description
                           << "\n    Camera OUT: " << pinhole.info();
      auto rebuilt = std::make_shared<UndistortionMaps>();
      const int w = camera.width(), h = camera.height();
      rebuilt->x.create(h, w, CV_32FC1);
      rebuilt->y.create(h, w, CV_32FC1);
      rebuilt->seen.create(h, w, CV_8UC1);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const fw::Point2d q = camera.Project(pinhole.UnProject(fw::Point2d(x, y)));
          rebuilt->x.at<float>(y, x) = float(q.x);
          rebuilt->y.at<float>(y, x) = float(q.y);
          // A source pixel covers half a pixel on either side of its centre.
          const bool inside = q.x >= -0.5 && q.x < w - 0.5 && q.y >= -0.5 && q.y < h - 0.5;
          rebuilt->seen.at<uchar>(y, x) = inside ? 255 : 0;
        }
      }
      undistortion_ = rebuilt;
      undistorterCamera_ = description;
    }
    maps = undistortion_;
  }
  if (image.size() != maps->x.size()) return cv::Mat();
  // Bilinear, not the nearest pixel: a pixel's colour stays where its centre maps, and the
  // image's edge is continued instead of blackened.
  cv::Mat out;
  cv::remap(image, out, maps->x, maps->y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  seen = maps->seen;
  return out;
}
