#include "vorn_mapper_frame.h"

#include "framework/geodesy.h"

#include <utility>

namespace {

// The frame document's attitude rule: a 14-entry vector (the document reader's layout) has a
// usable attitude when its pitch sigma is not 0, the shorter layouts when it is below the
// shared limit.
bool attitudeUsable(const fw::GpsRecord& record, size_t length) {
  if (!record.hasAttitude) return false;
  return length == 14 ? record.attitudeSigma.x != 0.0
                      : record.attitudeSigma.x < fw::kGpsAttitudeUsable;
}

}  // namespace

VornMapperFrame::VornMapperFrame(const uint64_t& id, std::string imagePath, const double& timestamp,
                                 std::vector<double> gps, std::vector<double> calibration)
    : fw::MapFrame(id, timestamp),
      imagePath_(std::move(imagePath)),
      camera_(fw::Camera(calibration).impl()),
      gps_(std::move(gps)),
      gpsRecord_(fw::decodeGpsRecord(gps_)) {}

VornMapperFrame::~VornMapperFrame() = default;

void VornMapperFrame::call(const std::string& command, void* arg) {
  if (command == "GetImagePath") {
    auto* path = static_cast<std::string*>(arg);
    if (path && path != &imagePath_) *path = imagePath_;
  } else if (command == "ReleaseImage") {
    std::lock_guard<std::mutex> lock(mutex);
    image_ = fw::GImage();
    imageReduction_ = 1;
  } else if (command == "GetImageReduction") {
    std::lock_guard<std::mutex> lock(mutex);
    if (arg) *static_cast<int*>(arg) = imageReduction_;
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
  if (index == 0) {
    image_ = image;
    imageReduction_ = 1;
  } else {
    secondImage_ = image;
  }
  return true;
}

void VornMapperFrame::setReducedImage(const fw::GImage& image, int reduction) {
  std::lock_guard<std::mutex> lock(mutex);
  image_ = image;
  imageReduction_ = reduction;
}

bool VornMapperFrame::hasGPSAttitude() { return gpsRecord_.hasAttitude; }

bool VornMapperFrame::getGPSAttitude(pi::Point3d& attitude) {
  if (!attitudeUsable(gpsRecord_, gps_.size())) return false;
  attitude = gpsRecord_.attitude;
  return true;
}

bool VornMapperFrame::getGPSAttitudeSigma(pi::Point3d& sigma) {
  if (!attitudeUsable(gpsRecord_, gps_.size())) return false;
  sigma = gpsRecord_.attitudeSigma;
  return true;
}

bool VornMapperFrame::isGPSSigmaValid() { return fw::gpsPositionValid(gpsRecord_); }

bool VornMapperFrame::getGPSLLA(pi::Point3d& lla) {
  if (!isGPSSigmaValid()) return false;
  lla = gpsRecord_.lla;
  return gpsRecord_.llaSigma.x < fw::kGpsPositionUsable;
}

bool VornMapperFrame::getGPSSigma(pi::Point3d& sigma) {
  if (!gpsRecord_.hasPosition) return false;
  sigma = gpsRecord_.llaSigma;
  return true;
}

bool VornMapperFrame::getGPSECEF(pi::Point3d& ecef) {
  pi::Point3d lla;
  if (!getGPSLLA(lla)) return false;
  ecef = fw::geodeticToECEF(lla.y, lla.x, lla.z);
  return true;
}

bool VornMapperFrame::getGPSHeight(fw::Point2d& height) {
  if (!gpsRecord_.hasRelativeAltitude) return false;
  height = fw::Point2d(gpsRecord_.relativeAltitude, gpsRecord_.relativeAltitudeSigma);
  return gpsRecord_.relativeAltitudeSigma < fw::kGpsHeightUsable;
}
