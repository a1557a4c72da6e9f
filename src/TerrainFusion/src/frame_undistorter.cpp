#include "src/TerrainFusion/src/frame_undistorter.h"

#include "framework/log.h"

#include <opencv2/imgproc.hpp>

#include <vector>

std::shared_ptr<const FrameUndistorter::Maps> FrameUndistorter::mapsFor(const fw::Camera& camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string description = camera.info();
  if (maps_ && camera_ == description) return maps_;
  const std::vector<double> p = camera.getParameters();
  if (p.size() < 6 || !camera.isValid()) return nullptr;
  const fw::Camera pinhole(std::vector<double>(p.begin(), p.begin() + 6));
  if (!pinhole.isValid()) return nullptr;
  FW_LOG(fw::kLogInfo) << "Undistorter:\n    Camera IN : " << description
                       << "\n    Camera OUT: " << pinhole.info();
  auto rebuilt = std::make_shared<Maps>();
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
  maps_ = rebuilt;
  camera_ = description;
  return maps_;
}

cv::Mat FrameUndistorter::undistort(const fw::Camera& camera, const cv::Mat& image, cv::Mat& seen) {
  const std::shared_ptr<const Maps> maps = mapsFor(camera);
  if (!maps || image.size() != maps->x.size()) return cv::Mat();
  // Bilinear, not the nearest pixel: a pixel's colour stays where its centre maps, and the
  // image's edge is continued instead of blackened.
  cv::Mat out;
  cv::remap(image, out, maps->x, maps->y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  seen = maps->seen;
  return out;
}
