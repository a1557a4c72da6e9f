#include "vorn_mapper_frame.h"

#include <utility>

namespace {

// The frame document's attitude rule (see getGPSAttitude).
bool attitudeUsable(const fw::GpsRecord& record, size_t length) {
  if (!record.hasAttitude) return false;
  return length == 14 ? record.attitudeSigma.x != 0.0
                      : record.attitudeSigma.x < fw::kGpsAttitudeUsable;
}

}  // namespace

VornMapperFrame::VornMapperFrame(const uint64_t& id, std::string imagePath, const double& timestamp,
                                 std::vector<double> gps, std::vector<double> calibration)
    : fw::GeotaggedFrame(id, timestamp, std::move(gps)),
      imagePath_(std::move(imagePath)),
      camera_(fw::Camera(calibration).impl()) {}

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
    copyGpsTo(arg);
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

bool VornMapperFrame::getGPSAttitude(pi::Point3d& attitude) {
  if (!attitudeUsable(gpsRecord(), gps().size())) return false;
  attitude = gpsRecord().attitude;
  return true;
}

bool VornMapperFrame::getGPSAttitudeSigma(pi::Point3d& sigma) {
  if (!attitudeUsable(gpsRecord(), gps().size())) return false;
  sigma = gpsRecord().attitudeSigma;
  return true;
}
