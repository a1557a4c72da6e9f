#pragma once

#include "framework/pinhole.h"
#include "src/TerrainFusion/src/area_reduction.h"
#include "src/TerrainFusion/src/decoded_image.h"

#include <opencv2/core.hpp>

#include <limits>

// The colour of a raster pixel seen in a frame image: the mean over the pixel's footprint in
// the image. The image is reduced by area once per frame to one to 1.5 reduced pixels across a
// raster pixel: by whole blocks first (an image decoded reduced already is reduced by what is
// left, to the same total), then by the fraction that remains beyond 1.5. A raster pixel then reads
// the reduced image bilinearly at its centre, or at 2 x 2 points where its footprint there
// stretches over two reduced pixels or more (an oblique view's far side). Detail finer than a
// raster pixel averages out instead of aliasing into it, and the cost per raster pixel does
// not grow with the image's size.
class FootprintSampler {
 public:
  // `decoded`: the image (its seen mask an undistorted image's margin), reduced by a power of
  // two (std::invalid_argument otherwise). `intrinsics`: the pinhole camera, in the
  // camera's own pixels like everything below.
  // `alongColumn`, `alongRow`: how the camera point of a raster position changes from one
  // column and from one row to the next. `footprintPixels`: camera pixels across one raster
  // pixel.
  FootprintSampler(const DecodedImage& decoded, const fw::Pinhole& intrinsics,
                   const cv::Vec3d& alongColumn, const cv::Vec3d& alongRow, double footprintPixels);

  // Whether the image has content at camera pixel (u, v), which lies in the camera's image.
  bool sees(int u, int v) const {
    return !seenData_ || seenData_[size_t(v >> decodedShift_) * seenStep_ + (u >> decodedShift_)];
  }

  // Mean colour of the pixel whose centre is the camera point `centre` (in front of the
  // camera and seen). Points of the footprint beyond the image read its edge; content is
  // weighted by how much of it is seen, so a margin never darkens a pixel. Safe to call from
  // several threads at once.
  cv::Vec3b mean(const cv::Vec3d& centre) const;
  // The same into `out`: a colour handed back by value goes through memory byte by byte
  // and stalls the reader of a raster's millions of pixels.
  void mean(const cv::Vec3d& centre, cv::Vec3b& out) const;

  // Reduction by whole blocks, in camera pixels, for raster pixels `footprintPixels` camera
  // pixels across: the largest that leaves at least one block across a raster pixel among
  // the powers of two up to 8 and then the multiples of 8, so that an image decoded reduced
  // by 2, 4 or 8 reaches it by a whole area factor and reads as the whole image would.
  static int reductionFor(double footprintPixels);

 private:
  // mean() for reduced pixels of type `Pixel`, weighted by their seen share with `kBySeen`.
  template <typename Pixel, bool kBySeen>
  void meanOf(const cv::Vec3d& centre, cv::Vec3b& out) const;
  // Whether every reduced pixel read for a footprint centred at reduced position (u, v),
  // its points at most `extentU` and `extentV` from it, is wholly seen.
  bool whollySeen(float u, float v, float extentU, float extentV) const;
  // Sets maxX_, maxY_ and extentPerDepth_ from the camera and the steps.
  void boundSingleReads();

  cv::Mat seen_;  // of the decoded image
  // seen_'s pixels and row step, null without a mask: looked up at every raster pixel.
  const uchar* seenData_ = nullptr;
  size_t seenStep_ = 0;
  int decoded_ = 1;  // the decoded image's reduction from the camera's pixels: 2^decodedShift_
  int decodedShift_ = 0;
  AreaReduction reduced_;  // by whole blocks, then by the fraction left
  double levelsPerUnit_ = 1.0;
  // With a coverage: non-zero where every reduced pixel within whollySeenReach_ + 2 is wholly
  // seen.
  cv::Mat whollySeen_;
  float whollySeenReach_ = -1.0f;
  cv::Vec3d alongColumn_, alongRow_;
  double fx_, fy_, cx_, cy_;  // the camera, in reduced_'s pixels
  // Camera points x / z, y / z within +-maxX_, +-maxY_ lie in the image, where a footprint's
  // extent in reduced pixels is at most extentPerDepth_ / z. Unbounded until known.
  double maxX_ = 0.0, maxY_ = 0.0, extentPerDepth_ = std::numeric_limits<double>::infinity();
};
