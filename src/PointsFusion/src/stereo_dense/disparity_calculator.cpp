#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"

cv::Mat rightViewDisparity(const cv::Mat& left) {
  cv::Mat right(left.size(), CV_32F, cv::Scalar(0));
  for (int r = 0; r < left.rows; ++r) {
    const float* in = left.ptr<float>(r);
    float* out = right.ptr<float>(r);
    for (int c = 0; c < left.cols; ++c) {
      const float target = float(c) - in[c];
      // Compared as float first so that NaN and huge values never reach the conversion.
      if (!(target > -1.0f && target < float(left.cols))) continue;
      const int j = int(target);
      if (j >= 0 && j < left.cols) out[j] = in[c];
    }
  }
  return right;
}

sv::Var disparityResult(const cv::Mat& left) {
  return sv::Var(std::vector<sv::Var>{sv::Var(left), sv::Var(rightViewDisparity(left))});
}
