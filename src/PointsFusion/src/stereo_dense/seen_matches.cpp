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
      otherSeen.size() != disparity.size() || reach < 0 ||
      (direction.rowStep != 0 && direction.colStep != 0)) {
    return cv::Mat();
  }
  // The largest disparity around each pixel, rejections and pixels without one left out.
  cv::Mat matched;
  cv::threshold(disparity, matched, double(smallest) - 1e-3, 0.0, cv::THRESH_TOZERO);
  const cv::Mat ground = window_max::squareMax(matched, reach);
  // A match moves along one axis only: along a row its row stays, along a column its column.
  const bool alongRows = direction.rowStep == 0;
  const int step = alongRows ? direction.colStep : direction.rowStep;
  const int length = alongRows ? otherSeen.cols : otherSeen.rows;
  cv::Mat unseen(disparity.size(), CV_8UC1, cv::Scalar(0));
  for (int r = 0; r < disparity.rows; ++r) {
    const float* d = disparity.ptr<float>(r);
    const float* around = ground.ptr<float>(r);
    const uchar* seenRow = otherSeen.ptr<uchar>(r);
    uchar* out = unseen.ptr<uchar>(r);
    for (int c = 0; c < disparity.cols; ++c) {
      if (!(d[c] >= smallest) || !std::isfinite(d[c])) continue;
      const int from = alongRows ? c : r;
      // Whether the match `v` pixels away, rounded to the nearest pixel, lies where the other
      // view saw its image.
      const auto seen = [&](float v) {
        if (!std::isfinite(v)) return false;
        const double at = std::floor(from + double(v) * step + 0.5);
        if (!(at >= 0 && at < length)) return false;
        return (alongRows ? seenRow[int(at)] : otherSeen.ptr<uchar>(int(at))[c]) != 0;
      };
      if (!seen(d[c]) || !seen(around[c])) out[c] = 255;
    }
  }
  return unseen;
}

}  // namespace seen_matches
