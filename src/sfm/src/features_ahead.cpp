#include "features_ahead.h"

#include <system_error>
#include <utility>

namespace sfm {

std::future<FrameFeatures> extractFeaturesAhead(const fw::GImage& image,
                                                std::vector<double> calibration,
                                                const RefinementOptions& options) {
  // The job holds its own share of the pixels and its own copy of the settings: the frame
  // it came from may move or let go of its image meanwhile.
  auto job = [image, calibration = std::move(calibration), options] {
    return extractFeatures(image, CameraIntrinsics::fromCalibration(calibration), options);
  };
  try {
    return std::async(std::launch::async, job);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::move(job));
  }
}

}  // namespace sfm
