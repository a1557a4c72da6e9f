#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"

#include "framework/config_store.h"

#include <algorithm>

int SGM_CPU::numDisparities(int cols) {
  const int m = std::min(cols / 4, 256);
  return m - m % 16 + 16;
}

cv::Ptr<cv::StereoSGBM> SGM_CPU::createMatcher(int dmin, int cols, int channels, int mode) {
  return cv::StereoSGBM::create(dmin, numDisparities(cols), 3, 72 * channels, 288 * channels, 1, 63,
                                30, 100, 32, mode);
}

sv::Var SGM_CPU::Compute(cv::Mat left, cv::Mat right, int dmin, int) {
  // OpenCV's own mode numbers: 0 MODE_SGBM, 1 MODE_HH.
  const int mode = *fw::Var::instance().GetInt("pointsfusion.fulldp", 0);
  cv::Mat fixedPoint, disparity;
  createMatcher(dmin, left.cols, left.channels(), mode)->compute(left, right, fixedPoint);
  // Rejected pixels come out as dmin - 1.
  fixedPoint.convertTo(disparity, CV_32F, 1.0 / 16);
  return disparityResult(disparity);
}
