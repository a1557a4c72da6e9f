#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The colour of a raster pixel seen in a frame image: the mean over the pixel's footprint in
// the image, from k x k points spread evenly over the pixel, each read bilinearly. Image
// detail finer than a raster pixel then averages out instead of aliasing into it.
class FootprintSampler {
 public:
  // `image`: 8-bit, three channels. `seen`: empty, or 8-bit of the image's size, 0 where the
  // image has no content (an undistorted image's margin). `intrinsics`: fx, fy, cx, cy of the
  // pinhole camera. `alongColumn`, `alongRow`: how the camera point of a raster position
  // changes from one column and from one row to the next.
  FootprintSampler(const cv::Mat& image, const cv::Mat& seen, const cv::Vec4d& intrinsics,
                   const cv::Vec3d& alongColumn, const cv::Vec3d& alongRow, int samplesPerAxis);

  // Whether the image has content at pixel (u, v), which lies in the image.
  bool sees(int u, int v) const { return seen_.empty() || seen_.at<uchar>(v, u) != 0; }

  // Mean colour of the pixel whose centre is the camera point `centre` (in front of the
  // camera and seen). Points of the footprint beyond the image read its edge; points without
  // content are left out.
  cv::Vec3b mean(const cv::Vec3d& centre) const;

  // Points per axis for raster pixels `pixelSize` across seen at `imageGsd` per image pixel
  // (same unit): about one point per image pixel, 1 to kMaxSamplesPerAxis.
  static int samplesFor(double pixelSize, double imageGsd);
  static constexpr int kMaxSamplesPerAxis = 8;

 private:
  cv::Vec3d bilinear(double u, double v) const;
  bool seenAt(double u, double v) const;

  const cv::Mat& image_;
  const cv::Mat& seen_;
  double fx_, fy_, cx_, cy_;
  std::vector<cv::Vec3d> offsets_;  // camera-point offsets of the footprint's points
};
