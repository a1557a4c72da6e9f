#include "src/PointsFusion/src/stereo_dense/image_scaled.h"

#include "framework/log.h"
#include "src/PointsFusion/src/dbscan.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

cv::Mat decodeFile(const std::string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return cv::Mat();
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  if (bytes.empty()) return cv::Mat();
  return cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
}

}  // namespace

ImageScaled::ImageScaled(std::shared_ptr<fw::MapFrame> frame_, cv::Mat image_)
    : frame(std::move(frame_)), image(std::move(image_)) {
  if (!image.empty() || !frame) return;
  std::string path;
  frame->call("GetImagePath", &path);
  image = decodeFile(path);
  if (image.empty()) FW_LOG(fw::kLogError) << "ImageScaled: Wrong Path! " << path;
}

ImageScaled::~ImageScaled() {
  if (frame) frame->setImage(fw::GImage(), 0);
}

bool ImageScaled::EstimateDepthRange(const std::shared_ptr<fw::MapFrame>& frame, const SE3& view,
                                     double range[2]) {
  if (!frame) return false;
  const fw::ObservationMap observations = frame->getObservations();
  const int observationCount = int(observations.size());
  const fw::Camera camera = frame->getCamera(0);
  std::vector<double> depths;
  depths.reserve(observations.size());
  for (const auto& observation : observations) {
    const int index = int(observation.second);
    fw::Point2d inverseDepth;
    cv::Point2f pixel;
    if (!frame->getKeyPointInverseDepth(index, inverseDepth)) continue;
    if (!frame->getKeyPointPosition(index, pixel)) continue;
    const pi::Point3d ray = camera.UnProject(fw::Point2d(pixel.x, pixel.y));
    const double depth = 1.0 / inverseDepth.x;
    const double z =
        view.transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, ray.z * depth)).z;
    if (std::isfinite(z)) depths.push_back(z);
  }
  if (depths.empty()) return false;

  const auto [smallest, largest] = std::minmax_element(depths.begin(), depths.end());
  DBSCAN dbscan;
  dbscan.Run(depths, 1, (*largest - *smallest) / 50.0, observationCount / 50);
  if (dbscan.clusters.empty()) {
    FW_LOG(fw::kLogInfo) << "No cluster detected, tackling by sorting depth";
    std::vector<double> sorted = depths;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const size_t low = size_t(double(n) * 0.02), high = size_t(double(n) * 0.98);
    FW_LOG(fw::kLogInfo) << "min_num = " << low << "   max_num = " << high;
    range[0] = sorted[low];
    range[1] = sorted[high];
    return true;
  }
  range[0] = std::numeric_limits<double>::infinity();
  range[1] = -std::numeric_limits<double>::infinity();
  for (const auto& cluster : dbscan.clusters)
    for (uint32_t i : cluster) {
      range[0] = std::min(range[0], depths[i]);
      range[1] = std::max(range[1], depths[i]);
    }
  return true;
}
