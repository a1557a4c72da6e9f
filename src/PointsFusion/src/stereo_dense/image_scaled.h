#pragma once

// The per-frame record that travels through the dense stages: the located frame, its source
// image, and what the pair task of which it is the reference adds (rectified view, camera,
// pose, depth map, consistency counts and depth range).

#include "framework/map_frame.h"
#include "framework/pose.h"
#include "src/PointsFusion/src/stereo_dense/pair_motion.h"

#include <opencv2/core.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

class ImageScaled {
 public:
  // Takes `image` when it is not empty: the whole source, at the camera's size or resampled
  // to another. Otherwise decodes the file the frame names reduced for work at `workScale`
  // of the camera's size (at most 1): by the decoder's largest reduction that keeps it at
  // least that large, then by area to the working size, so that the rectification samples
  // an image already as coarse as its result. A reduced copy the frame carries
  // ("GetImageReduction" above 1) that is no coarser than that reduction stands in for the
  // file, reduced by area the rest of the way. A file the decoder cannot reduce is kept
  // whole. "ImageScaled: Wrong Path! " when the decoding fails; the record is still usable
  // and its pairs fail later.
  explicit ImageScaled(std::shared_ptr<fw::MapFrame> frame, cv::Mat image = cv::Mat(),
                       double workScale = 1.0);
  // Releases the frame's in-memory image unless it is a reduced copy, which terrain fusion
  // takes after the dense stages.
  ~ImageScaled();
  ImageScaled(const ImageScaled&) = delete;
  ImageScaled& operator=(const ImageScaled&) = delete;

  // Depth range of the frame's sparse points seen through the view rotated by `view` from
  // the frame's camera: of the depths in front of the view and within a factor of their
  // median, the extent of the clusters, or their 2 % / 98 % quantiles when no cluster
  // forms. With too few such depths, the ground at the frame's height above ground stands
  // in. When most points lie behind the view, their extent as it is (not in front of the
  // view). False when nothing tells the depth.
  static bool EstimateDepthRange(const std::shared_ptr<fw::MapFrame>& frame, const SE3& view,
                                 double range[2]);

  // The dense stage's holds on `image`: one while the frame may still be taken as a pair's
  // partner, one per queued pair task that reads it. Nothing after the dense stage reads the
  // source image, so the last hold let go releases it instead of letting it travel with
  // the record through the stages after (several 12 MP images at once). Any thread.
  void holdSource();
  void letGoOfSource();

  // The frame's camera matrix for `image` (imageScale applied), 3 x 3 CV_64F.
  cv::Mat imageCameraMatrix() const;
  // The features the pose check matches, sought in `image` once for all the frame's pairs
  // (any thread; the first call computes them). Call while the source is held.
  const pair_motion::ViewFeatures& matchFeatures() const;

  std::shared_ptr<fw::MapFrame> frame;
  SE3 pose;       // world from the rectified camera of this record's view
  cv::Mat image;  // source image, reduced for work (see imageScale)
  // Image pixels per source pixel along x and y: image pixel (x, y) has its centre at source
  // ((x + 0.5) / imageScale[0] - 0.5, (y + 0.5) / imageScale[1] - 0.5).
  cv::Vec2d imageScale{1.0, 1.0};
  cv::Mat rectImage;          // rectified colour view at the reduced size (BGR)
  std::array<double, 9> K{};  // rectified camera matrix at the reduced size, row by row
  cv::Mat depth;              // CV_32F depth along the rectified optical axis; 0 = none
  cv::Mat count;              // CV_8U consistency counts
  // CV_8U, non-zero where the cleaner confirmed a depth only by a view matched from this
  // record's own image pair: such views repeat one matching and share its mismatches. Empty
  // until the record is cleaned.
  cv::Mat pairOnly;
  // The frame whose image the depth map was matched against; unset while none was.
  std::optional<uint64_t> pairedWith;
  // The pair's rectified focal length (pixels) times its baseline (metres): a disparity d
  // gave the depth focalTimesBaseline / d. 0 while no depth map was made.
  double focalTimesBaseline = 0.0;
  float depthMin = 0.0f;  // depth extent of the sparse points; unset: 0 and +infinity
  float depthMax = std::numeric_limits<float>::infinity();

 private:
  std::atomic<int> sourceHolds_{0};
  mutable std::once_flag featuresOnce_;
  mutable pair_motion::ViewFeatures features_;
};
