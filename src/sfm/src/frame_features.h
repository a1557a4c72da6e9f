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
  // Per ORB feature, the grey patch of the reduced copy around it (kPatchSide squared bytes,
  // centred on the copy's pixel nearest to the feature), for placing matches finer; none
  // for SIFT features.
  cv::Mat patches;
  std::vector<cv::Point> patch_centres;  // in the reduced copy
  static constexpr int kPatchSide = 15;

  size_t size() const { return pixels.size(); }
  size_t bytes() const {
    return pixels.size() * (sizeof(cv::Point2f) + sizeof(cv::Point2d)) +
           descriptors.total() * descriptors.elemSize() + patches.total();
  }
};

// Features of an 8-bit image of one, three or four channels whose size is the
// calibration's. An empty, featureless or mis-sized image gives none.
FrameFeatures extractFeatures(const fw::GImage& image, const CameraIntrinsics& camera,
                              const RefinementOptions& options);

// Moves feature `j` of `b` onto where feature `i` of `a` lies in b's image, to a fraction of
// a pixel, by the best normalised correlation of a's patch around its feature with b's patch
// (a parabola through the peak and its neighbours). False, and b as it was, when the patches
// do not correlate well or the peak lies more than a pixel and a half off: the features stay
// as found.
bool alignFeature(const FrameFeatures& a, int i, FrameFeatures& b, int j,
                  const CameraIntrinsics& camera);

}  // namespace sfm
