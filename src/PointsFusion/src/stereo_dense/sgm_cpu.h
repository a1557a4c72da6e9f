#pragma once

// Disparity on the CPU with OpenCV's semi-global block matcher. The search starts at dmin
// and spans a number of disparities fixed by the image width (dmax is not used).

#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"

#include <opencv2/calib3d.hpp>

class SGM_CPU : public DisparityCalculator {
 public:
  sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) override;

  // Disparities searched for an image `cols` wide: a multiple of 16, at most 272.
  static int numDisparities(int cols);
  // The matcher with this calculator's parameters; `mode` is a StereoSGBM mode.
  static cv::Ptr<cv::StereoSGBM> createMatcher(int dmin, int cols, int channels, int mode);
};
