#pragma once

// Disparity of one rectified grey pair (8-bit, same size, matching pixels share a row).
// The result is an array of two CV_32F maps in pixels: the left view's disparity (left
// column c matches right column c - d) and the same disparities moved into the right
// view's columns. Calls are serialised by the caller.

#include "values/var.h"

#include <opencv2/core.hpp>

class DisparityCalculator {
 public:
  // Searches disparities from `dmin` up to about `dmax`; an undefined value (after a log
  // line) when the pair cannot be matched.
  virtual sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) = 0;
  virtual ~DisparityCalculator() = default;
};

// Moves each left disparity d at column c to column (int)(c - d) of the right view; later
// columns win, unreached columns stay 0.
cv::Mat rightViewDisparity(const cv::Mat& left);

// The calculators' result: [left disparity, right-view disparity].
sv::Var disparityResult(const cv::Mat& left);
