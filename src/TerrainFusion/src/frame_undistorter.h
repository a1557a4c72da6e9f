#pragma once

#include "framework/camera.h"

#include <opencv2/core.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>

// Undistorts frame images of a camera with lens distortion into its pinhole part. The maps
// are built once per camera and image reduction and shared by the threads using them: a new
// camera replaces them, while images of the old one still being remapped keep theirs.
class FrameUndistorter {
 public:
  // The image, of `camera`'s size reduced by `factor` (ceil(width / factor) x
  // ceil(height / factor), reduced pixel x centred on camera pixel (x + 0.5) factor - 0.5), as
  // the pinhole camera of its first six parameters sees it at that size, interpolated
  // bilinearly; `seen` marks the pixels with a source in the image (8-bit, 255). A distortion
  // that moves no pixel by 1/32 of a pixel at that size (cv::remap's own precision) leaves
  // the image itself, every pixel seen (`seen` empty). Empty for a camera without a valid
  // pinhole part, a factor below 1 or an image of another size.
  cv::Mat undistort(const fw::Camera& camera, const cv::Mat& image, cv::Mat& seen, int factor = 1);

 private:
  // Where each pinhole pixel lies in the image (float maps for cv::remap) and whether it has a
  // source there.
  struct Maps {
    cv::Mat x, y, seen;  // empty when negligible
    cv::Size size;
    bool negligible = false;
  };
  // The maps of `camera` at `factor`, built when the camera differs from the last one or the
  // factor is new; null when it has no valid pinhole part.
  std::shared_ptr<const Maps> mapsFor(const fw::Camera& camera, int factor);

  std::mutex mutex_;
  std::map<int, std::shared_ptr<const Maps>> maps_;  // by factor, all of one camera
  std::string camera_;                               // the description of the camera of maps_
};
