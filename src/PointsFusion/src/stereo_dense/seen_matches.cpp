#include "src/PointsFusion/src/stereo_dense/seen_matches.h"

#include "src/PointsFusion/src/stereo_dense/window_max.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace seen_matches {

MatchDirection directionOf(bool vertical, bool referenceLeft) {
  // The matcher's left view finds its match d columns to the left in the right view, and the
  // right view d columns to the right. A vertical pair is matched turned a quarter clockwise,
  // so that a column to the left there is a row further down here.
  const int step = referenceLeft ? -1 : 1;
  return vertical ? MatchDirection{-step, 0} : MatchDirection{0, step};
}

cv::Mat unseenMatches(const cv::Mat& disparity, const cv::Mat& otherSeen, MatchDirection direction,
                      float smallest, int reach) {
  if (disparity.type() != CV_32FC1 || otherSeen.type() != CV_8UC1 ||
      otherSeen.size() != disparity.size() || reach < 0) {
    return cv::Mat();
  }
  // The largest disparity around each pixel, rejections and pixels without one left out.
  cv::Mat matched;
  cv::threshold(disparity, matched, double(smallest) - 1e-3, 0.0, cv::THRESH_TOZERO);
  const cv::Mat ground = window_max::squareMax(matched, reach);
  const auto seen = [&](int r, int c, float d) {
    const double row = std::floor(r + double(d) * direction.rowStep + 0.5);
    const double column = std::floor(c + double(d) * direction.colStep + 0.5);
    return row >= 0 && row < otherSeen.rows && column >= 0 && column < otherSeen.cols &&
           otherSeen.at<uchar>(int(row), int(column)) != 0;
  };
  cv::Mat unseen(disparity.size(), CV_8UC1, cv::Scalar(0));
  for (int r = 0; r < disparity.rows; ++r) {
    const float* d = disparity.ptr<float>(r);
    const float* around = ground.ptr<float>(r);
    uchar* out = unseen.ptr<uchar>(r);
    for (int c = 0; c < disparity.cols; ++c) {
      if (!(d[c] >= smallest) || !std::isfinite(d[c])) continue;
      if (!seen(r, c, d[c]) || !seen(r, c, around[c])) out[c] = 255;
    }
  }
  return unseen;
}

}  // namespace seen_matches
