#include "src/TerrainFusion/src/frame_undistorter.h"

#include "framework/log.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

// Reduced pixel centre `r` in camera pixels, and back.
double cameraOf(double r, int factor) { return (r + 0.5) * factor - 0.5; }
double reducedOf(double s, int factor) { return (s + 0.5) / factor - 0.5; }

// cv::remap places its reads to 1/32 of a pixel: a smaller shift is below its precision.
constexpr double kNegligibleShift = 1.0 / 32.0;

}  // namespace

std::shared_ptr<const FrameUndistorter::Maps> FrameUndistorter::mapsFor(const fw::Camera& camera,
                                                                        int factor) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string description = camera.info();
  if (camera_ != description) {
    maps_.clear();
    camera_ = description;
  }
  const auto known = maps_.find(factor);
  if (known != maps_.end()) return known->second;
  const fw::CameraParameters parameters = camera.parameters();
  if (!parameters.hasIntrinsics() || !camera.isValid()) return nullptr;
  const fw::Camera pinhole(parameters.withoutDistortion());
  if (!pinhole.isValid()) return nullptr;
  FW_LOG(fw::kLogInfo) << "Undistorter (images reduced by " << factor
                       << "):\n    Camera IN : " << description
                       << "\n    Camera OUT: " << pinhole.info();
  auto rebuilt = std::make_shared<Maps>();
  const int w = camera.width(), h = camera.height();
  const int cols = (w + factor - 1) / factor, rows = (h + factor - 1) / factor;
  rebuilt->x.create(rows, cols, CV_32FC1);
  rebuilt->y.create(rows, cols, CV_32FC1);
  rebuilt->seen.create(rows, cols, CV_8UC1);
  rebuilt->size = cv::Size(cols, rows);
  bool negligible = true;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      // Through the full-size cameras: a reduced pixel stands for the block it covers.
      const fw::Point2d q =
          camera.Project(pinhole.UnProject(fw::Point2d(cameraOf(x, factor), cameraOf(y, factor))));
      rebuilt->x.at<float>(y, x) = float(reducedOf(q.x, factor));
      rebuilt->y.at<float>(y, x) = float(reducedOf(q.y, factor));
      for (const double shift :
           {std::fabs(reducedOf(q.x, factor) - x), std::fabs(reducedOf(q.y, factor) - y)})
        if (!(shift < kNegligibleShift)) negligible = false;  // a NaN shift is not negligible
      // A source pixel covers half a pixel on either side of its centre.
      const bool inside = q.x >= -0.5 && q.x < w - 0.5 && q.y >= -0.5 && q.y < h - 0.5;
      rebuilt->seen.at<uchar>(y, x) = inside ? 255 : 0;
    }
  }
  // A calibration often finds a few hundredths of a pixel of distortion in a lens without:
  // remapping the image then only costs time and memory.
  if (negligible) {
    rebuilt->negligible = true;
    rebuilt->x.release();
    rebuilt->y.release();
    rebuilt->seen.release();
  }
  maps_[factor] = rebuilt;
  return rebuilt;
}

cv::Mat FrameUndistorter::undistort(const fw::Camera& camera, const cv::Mat& image, cv::Mat& seen,
                                    int factor) {
  if (factor < 1) return cv::Mat();
  const std::shared_ptr<const Maps> maps = mapsFor(camera, factor);
  if (!maps || image.size() != maps->size) return cv::Mat();
  if (maps->negligible) {
    seen.release();
    return image;
  }
  // Bilinear, not the nearest pixel: a pixel's colour stays where its centre maps, and the
  // image's edge is continued instead of blackened.
  cv::Mat out;
  cv::remap(image, out, maps->x, maps->y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  seen = maps->seen;
  return out;
}
