#pragma once

#include "camera_intrinsics.h"
#include "refinement_options.h"

#include "framework/gimage.h"

#include <opencv2/core.hpp>

#include <optional>
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
// calibration's, or the calibration's reduced by `reduction` when the image was decoded so
// (ceil(width / reduction) x ceil(height / reduction), its pixel x centred on the full
// image's (x + 0.5) reduction - 0.5). The features' pixels are the full image's either way;
// an image coarser than the copy the options ask for is taken as it is. An empty,
// featureless or mis-sized image gives none.
FrameFeatures extractFeatures(const fw::GImage& image, const CameraIntrinsics& camera,
                              const RefinementOptions& options, int reduction = 1);

// Where feature `i` of `a` lies in b's image, in its pixels, found around feature `j` of `b`
// by the best normalised correlation of a's patch around its feature with b's patch, refined
// to a fraction of a pixel; `b` stays as it is. `warp` is how a small patch of a's image shows
// in b's (x towards y: a step d in a shows as warp * d in b; the turn about the optical axis,
// and the stretch of views tilted apart): a's patch is warped so before they are compared.
// Nothing when the patches do not correlate well or the peak lies more than a pixel and a half
// off.
std::optional<cv::Point2f> placeOnto(const FrameFeatures& a, int i, const FrameFeatures& b, int j,
                                     const cv::Matx22f& warp = cv::Matx22f::eye());

// Moves feature `j` of `b` to where `placeOnto` finds feature `i` of `a`. False, and b as it
// was, where that finds nothing: the feature stays as found.
bool alignFeature(const FrameFeatures& a, int i, FrameFeatures& b, int j,
                  const CameraIntrinsics& camera, const cv::Matx22f& warp = cv::Matx22f::eye());

}  // namespace sfm
