#pragma once

// Disparity on the CPU with OpenCV's semi-global block matcher. The search starts at dmin and
// spans the disparities up to dmax, never more than a number fixed by the image width.

#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"

#include <opencv2/calib3d.hpp>

// Tunables of the CPU matcher, read from the configuration store once, when the matcher is
// built.
struct SgmCpuOptions {
  // "pointsfusion.sgbm_block_size": odd matching window; 5 gathers enough signal on faint
  // field texture at the reduced scale without blurring edges much.
  int blockSize = 5;
  // "pointsfusion.sgbm_uniqueness": percent by which the best cost must beat the second;
  // repetitive furrows rarely clear a margin of 30.
  int uniquenessRatio = 10;
  // "pointsfusion.fulldp": OpenCV's own StereoSGBM mode number (0 MODE_SGBM, 1 MODE_HH,
  // 2 MODE_SGBM_3WAY, 3 MODE_HH4).
  int mode = cv::StereoSGBM::MODE_SGBM;

  // The stored settings, mended, then checked.
  static SgmCpuOptions fromConfig();
  // Keeps the block odd within 1 .. 11, the ratio within 0 .. 100 and the mode one of
  // OpenCV's (others match as MODE_SGBM does), each with a warning.
  void mend();
  // Throws std::invalid_argument, naming the setting, for values `mend` would change.
  void check() const;
};

class SGM_CPU : public DisparityCalculator {
 public:
  SGM_CPU() : SGM_CPU(SgmCpuOptions::fromConfig()) {}
  explicit SGM_CPU(const SgmCpuOptions& options) : options_(options) {}

  sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) override;

  // Disparities searched for an image `cols` wide: a multiple of 16, at most 272.
  static int numDisparities(int cols);
  // Disparities searched for dmin .. dmax: the span rounded up to 16, at most numDisparities.
  static int searchCount(int cols, int dmin, int dmax);
  // The matcher with these options' block, uniqueness and mode.
  static cv::Ptr<cv::StereoSGBM> createMatcher(int dmin, int count, int channels,
                                               const SgmCpuOptions& options);
  const SgmCpuOptions& options() const { return options_; }

 private:
  const SgmCpuOptions options_;
};
