#include "src/PointsFusion/src/stereo_dense/image_scaled.h"

#include "framework/carried_frame_image.h"
#include "framework/frame_image_decoding.h"
#include "framework/log.h"
#include "src/PointsFusion/src/dbscan.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/sparse_depths.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The camera's width and height; zeros for a camera without them.
cv::Size cameraSize(fw::MapFrame& frame) {
  const fw::CameraParameters k = frame.getCamera(0).parameters();
  if (!k.hasIntrinsics() || !(k.width >= 1.0) || !(k.height >= 1.0)) return cv::Size();
  return cv::Size(int(k.width), int(k.height));
}

// The frame's image reduced by `factor` from its file: from the reduced copy the frame
// carries when that fits, else decoded from the file. Empty, logged, when the file does not
// decode.
cv::Mat sourceAt(fw::MapFrame& frame, cv::Size camera, int factor) {
  cv::Mat carried = fw::carriedFrameImage(frame, camera, factor);
  if (!carried.empty()) return carried;
  std::string path;
  frame.call("GetImagePath", &path);
  std::vector<unsigned char> bytes;
  if (!fw::readFrameFile(path, bytes)) bytes.clear();
  cv::Mat decoded = fw::decodeFrameImageReduced(bytes, factor);
  if (decoded.empty()) FW_LOG(fw::kLogError) << "ImageScaled: Wrong Path! " << path;
  return decoded;
}

}  // namespace

ImageScaled::ImageScaled(std::shared_ptr<fw::MapFrame> frame_, cv::Mat image_, double workScale)
    : frame(std::move(frame_)), image(std::move(image_)) {
  const cv::Size camera = frame ? cameraSize(*frame) : cv::Size();
  if (!image.empty()) {
    if (!camera.empty())
      imageScale = {double(image.cols) / camera.width, double(image.rows) / camera.height};
    return;
  }
  if (!frame) return;
  if (!(workScale > 0.0 && workScale < 1.0)) workScale = 1.0;
  // The rule every stage decodes frames by (8-bit BGR whatever the file holds), reduced.
  const int factor = fw::decodeReductionFor(1.0 / workScale);
  const cv::Mat decoded = sourceAt(*frame, camera, factor);
  if (decoded.empty()) return;
  image = decoded;
  imageScale = {1.0 / factor, 1.0 / factor};
  // The working camera's size, rounded as the pair geometry rounds it.
  const cv::Size work(int(std::floor(camera.width * workScale + 0.5)),
                      int(std::floor(camera.height * workScale + 0.5)));
  if (factor == 1 || work.empty() || work == decoded.size() || work.width > decoded.cols ||
      work.height > decoded.rows)
    return;
  cv::resize(decoded, image, work, 0, 0, cv::INTER_AREA);
  imageScale = {double(work.width) / (factor * decoded.cols),
                double(work.height) / (factor * decoded.rows)};
}

ImageScaled::~ImageScaled() {
  if (!frame) return;
  // A reduced copy travels on with the frame (terrain fusion colours it from that copy and
  // lets it go); a whole image is let go here.
  int reduction = 1;
  frame->call("GetImageReduction", &reduction);
  if (reduction <= 1) frame->setImage(fw::GImage(), 0);
}

cv::Mat ImageScaled::imageCameraMatrix() const {
  cv::Mat K = cameraMatrix(frame->getCamera(0));
  // Focal lengths scale with the pixels; a centre moves as pixel centres do.
  K.at<double>(0, 0) *= imageScale[0];
  K.at<double>(1, 1) *= imageScale[1];
  K.at<double>(0, 2) = (K.at<double>(0, 2) + 0.5) * imageScale[0] - 0.5;
  K.at<double>(1, 2) = (K.at<double>(1, 2) + 0.5) * imageScale[1] - 0.5;
  return K;
}

const pair_motion::ViewFeatures& ImageScaled::matchFeatures() const {
  std::call_once(featuresOnce_, [this] {
    if (frame)
      features_ = pair_motion::featuresOf(image, imageCameraMatrix(),
                                          distortionCoeffs(frame->getCamera(0)));
  });
  return features_;
}

void ImageScaled::holdSource() { sourceHolds_.fetch_add(1); }

void ImageScaled::letGoOfSource() {
  if (sourceHolds_.fetch_sub(1) == 1) image.release();
}

namespace {

// Depth along the view's axis of points in the frame's camera coordinates.
std::vector<double> depthsInView(const std::vector<pi::Point3d>& points, const SE3& view) {
  std::vector<double> depths;
  for (const pi::Point3d& p : points) {
    const double z = view.transformPoint(p).z;
    if (std::isfinite(z)) depths.push_back(z);
  }
  return depths;
}

// The extent of `depths`, as it is: a view that looks away from the ground gets a range
// that does not lie in front of it, and the pair is refused.
void extent(const std::vector<double>& depths, double range[2]) {
  const auto [smallest, largest] = std::minmax_element(depths.begin(), depths.end());
  range[0] = *smallest;
  range[1] = *largest;
}

}  // namespace

bool ImageScaled::EstimateDepthRange(const std::shared_ptr<fw::MapFrame>& frame, const SE3& view,
                                     double range[2]) {
  if (!frame) return false;
  const std::vector<double> seen = depthsInView(sparse_depths::cameraPoints(*frame), view);
  const auto inFront = std::count_if(seen.begin(), seen.end(),
                                     [](double z) { return z >= sparse_depths::kMinDepth; });
  if (!seen.empty() && size_t(inFront) * 2 < seen.size()) {
    extent(seen, range);  // most of the frame's ground lies behind the view
    return true;
  }
  // Points behind the view or far from the bulk (a wrong triangulation a few metres in
  // front of the camera) never widen the search.
  const std::vector<double> depths = sparse_depths::plausible(seen);
  double height = 0;
  if (depths.size() < sparse_depths::kMinDepths &&
      sparse_depths::heightAboveGround(*frame, &height)) {
    const std::vector<double> ground =
        depthsInView(sparse_depths::groundGrid(*frame, height), view);
    if (ground.empty()) return false;
    extent(ground, range);
    if (range[0] > 0) {
      range[0] *= sparse_depths::kHeightRangeLow;
      range[1] *= sparse_depths::kHeightRangeHigh;
    }
    FW_LOG(fw::kLogInfo) << "Frame " << frame->id << " has " << depths.size()
                         << " usable sparse depths; the range comes from its height " << height
                         << " above ground";
    return true;
  }
  if (depths.empty()) return false;

  const auto [smallest, largest] = std::minmax_element(depths.begin(), depths.end());
  DBSCAN dbscan;
  const double radius = (*largest - *smallest) / 50.0;
  dbscan.Run(depths, 1, radius, int(depths.size() / 50));
  if (dbscan.clusters.empty()) {
    FW_LOG(fw::kLogInfo) << "No cluster detected, tackling by sorting depth";
    std::vector<double> sorted = depths;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const size_t low = size_t(double(n) * 0.02), high = size_t(double(n) * 0.98);
    FW_LOG(fw::kLogInfo) << "min_num = " << low << "   max_num = " << high;
    range[0] = sorted[low];
    range[1] = sorted[std::min(high, n - 1)];
    return true;
  }
  range[0] = std::numeric_limits<double>::infinity();
  range[1] = -std::numeric_limits<double>::infinity();
  for (const auto& cluster : dbscan.clusters)
    for (uint32_t i : cluster) {
      range[0] = std::min(range[0], depths[i]);
      range[1] = std::max(range[1], depths[i]);
    }
  // Depths within the radius of a cluster's outermost core belong to it too: the nearest
  // and furthest ground points have fewer neighbours than the bulk.
  range[0] = std::max(range[0] - radius, *smallest);
  range[1] = std::min(range[1] + radius, *largest);
  return true;
}
