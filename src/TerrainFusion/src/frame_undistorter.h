#pragma once

#include "framework/camera.h"

#include <opencv2/core.hpp>

#include <memory>
#include <mutex>
#include <string>

// Undistorts frame images of a camera with lens distortion into its pinhole part. The maps
// are built once per camera and shared by the threads using them: a new camera replaces them,
// while images of the old one still being remapped keep theirs.
class FrameUndistorter {
 public:
  // The image (of `camera`'s size) as the pinhole camera of its first six parameters sees it,
  // interpolated bilinearly; `seen` marks the pixels with a source in the image (8-bit, 255).
  // Empty for a camera without a valid pinhole part or an image of another size.
  cv::Mat undistort(const fw::Camera& camera, const cv::Mat& image, cv::Mat& seen);

 private:
  // Where each pinhole pixel lies in the image (float maps for cv::remap) and whether it has a
  // source there.
  struct Maps {
    cv::Mat x, y, seen;
  };
  // The maps of `camera`, built when it differs from the last one; null when it has no valid
  // pinhole part.
  std::shared_ptr<const Maps> mapsFor(const fw::Camera& camera);

  std::mutex mutex_;
  std::shared_ptr<const Maps> maps_;
  std::string camera_;  // the description of the camera of maps_
};
