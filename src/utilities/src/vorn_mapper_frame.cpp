#include "vorn_mapper_frame.h"

#include <cmath>
#include <utility>

namespace {

// WGS-84 squared semi-axes.
constexpr double kA2 = 40680631590769.0;
constexpr double kB2 = 40408299984659.16;

}  // namespace

VornMapperFrame::VornMapperFrame(const uint64_t& id, std::string imagePath,
                                 const double& timestamp, std::vector<double> gps,
                                 std::vector<double> calibration)
    : fw::MapFrame(id, timestamp),
      imagePath_(std::move(imagePath)),
      camera_(fw::Camera(calibration).impl()),
      gps_(std::move(gps)) {}

VornMapperFrame::~VornMapperFrame() = default;

void VornMapperFrame::call(const std::string& command, void* arg) {
  if (command == "GetImagePath") {
    auto* path = static_cast<std::string*>(arg);
    if (path && path != &imagePath_) *path = imagePath_;
  } else if (command == "ReleaseImage") {
    std::lock_guard<std::mutex> lock(mutex);
    image_ = fw::GImage();
  } else if (command == "GetGPS") {
    auto* gps = static_cast<std::vector<double>*>(arg);
    if (gps && !gps_.empty() && gps != &gps_) *gps = gps_;
  }
}

fw::Camera VornMapperFrame::getCamera(int) {
  std::lock_guard<std::mutex> lock(mutex);
  return fw::Camera(camera_);
}

void VornMapperFrame::setCamera(std::shared_ptr<fw::CameraImpl> camera) {
  std::lock_guard<std::mutex> lock(mutex);
  camera_ = std::move(camera);
}

fw::GImage VornMapperFrame::getImage(int, int) {
  std::lock_guard<std::mutex> lock(mutex);
  return image_;
}

bool VornMapperFrame::setImage(const fw::GImage& image, int index) {
  std::lock_guard<std::mutex> lock(mutex);
  (index == 0 ? image_ : secondImage_) = image;
  return true;
}

bool VornMapperFrame::hasGPSAttitude() {
  const size_t n = gps_.size();
  return n == 11 || n == 12 || n == 14;
}

bool VornMapperFrame::getGPSAttitude(pi::Point3d& attitude) {
  const size_t n = gps_.size();
  size_t first = 0;
  if (n == 11 && gps_[8] < 20.0) {
    first = 5;
  } else if (n == 14 && gps_[11] != 0.0) {
    first = 8;
  } else if (n == 12 && gps_[9] < 20.0) {
    first = 6;
  } else {
    return false;
  }
  attitude = pi::Point3d(gps_[first], gps_[first + 1], gps_[first + 2]);
  return true;
}

bool VornMapperFrame::getGPSAttitudeSigma(pi::Point3d& sigma) {
  const size_t n = gps_.size();
  size_t first = 0;
  if (n == 11 && gps_[8] < 20.0) {
    first = 8;
  } else if (n == 14 && gps_[11] != 0.0) {
    first = 11;
  } else if (n == 12 && gps_[9] < 20.0) {
    first = 9;
  } else {
    return false;
  }
  sigma = pi::Point3d(gps_[first], gps_[first + 1], gps_[first + 2]);
  return true;
}

bool VornMapperFrame::isGPSSigmaValid() { return gps_.size() >= 6 && gps_[3] < 10.0; }

bool VornMapperFrame::getGPSLLA(pi::Point3d& lla) {
  if (!isGPSSigmaValid()) return false;
  lla = pi::Point3d(gps_[0], gps_[1], gps_[2]);
  return gps_[3] < 100.0;
}

bool VornMapperFrame::getGPSSigma(pi::Point3d& sigma) {
  if (gps_.size() < 6) return false;
  sigma = pi::Point3d(gps_[3], gps_[4], gps_[5]);
  return true;
}

bool VornMapperFrame::getGPSECEF(pi::Point3d& ecef) {
  pi::Point3d lla;
  if (!getGPSLLA(lla)) return false;
  const double lambda = lla.x * M_PI / 180.0;
  const double phi = lla.y * M_PI / 180.0;
  const double h = lla.z;
  const double n = 1.0 / std::sqrt(kA2 * std::cos(phi) * std::cos(phi) +
                                   kB2 * std::sin(phi) * std::sin(phi));
  ecef = pi::Point3d((kA2 * n + h) * std::cos(phi) * std::cos(lambda),
                     (kA2 * n + h) * std::cos(phi) * std::sin(lambda),
                     (kB2 * n + h) * std::sin(phi));
  return true;
}

bool VornMapperFrame::getGPSHeight(fw::Point2d& height) {
  const size_t n = gps_.size();
  if (n != 8 && n != 14) return false;
  height = fw::Point2d(gps_[6], gps_[7]);
  return gps_[7] < 100.0;
}
