#include "features_ahead.h"

#include <system_error>
#include <utility>

namespace sfm {

std::future<FrameFeatures> extractFeaturesAhead(const fw::GImage& image,
                                                std::vector<double> calibration,
                                                const RefinementOptions& options, int reduction) {
  // The job holds its own share of the pixels and its own copy of the settings: the frame
  // it came from may move or let go of its image meanwhile. Pixels only borrowed (a view of
  // the caller's buffer) are copied, since their owner may reuse them once the call returns.
  const fw::GImage pixels =
      image.empty() || !image.holder.isUndefined() ? image : fw::GImage(cv::Mat(image).clone());
  // Its share goes as soon as the features are taken: the frame keeps the image only as
  // long as it needs it.
  auto job = [image = pixels, calibration = std::move(calibration), options, reduction]() mutable {
    FrameFeatures features =
        extractFeatures(image, CameraIntrinsics::fromCalibration(calibration), options, reduction);
    image = fw::GImage();
    return features;
  };
  try {
    return std::async(std::launch::async, job);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::move(job));
  }
}

}  // namespace sfm
