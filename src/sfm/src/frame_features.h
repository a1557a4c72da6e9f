#pragma once

#include "camera_intrinsics.h"
#include "refinement_options.h"

#include "framework/gimage.h"

#include <opencv2/core.hpp>

#include <vector>

namespace sfm {

// Features of one frame, taken from a reduced copy of its image: positions in the pixels of
// the full image, their normalised image points under the calibration, and descriptors.
struct FrameFeatures {
  std::vector<cv::Point2f> pixels;
  std::vector<cv::Point2d> normalised;
  cv::Mat descriptors;  // one row per feature
  double scale = 1.0;   // pixels of the reduced copy per pixel of the image

  size_t size() const { return pixels.size(); }
  size_t bytes() const {
    return pixels.size() * (sizeof(cv::Point2f) + sizeof(cv::Point2d)) +
           descriptors.total() * descriptors.elemSize();
  }
};

// Features of an 8-bit image of one, three or four channels whose size is the
// calibration's. An empty, featureless or mis-sized image gives none.
FrameFeatures extractFeatures(const fw::GImage& image, const CameraIntrinsics& camera,
                              const RefinementOptions& options);

}  // namespace sfm
