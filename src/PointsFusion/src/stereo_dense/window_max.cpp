#include "src/PointsFusion/src/stereo_dense/window_max.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace window_max {

namespace {

// The largest of lines i - reach .. i + reach of `lines` (its rows, taken lane by lane) for
// each row i. The rows are padded with `reach` rows of the lowest value at either end and cut
// into blocks of the window's length; a window then spans the end of one block and the start
// of the next, whose running largest values from the block's start and from its end give the
// window's largest in one comparison.
cv::Mat linesMax(const cv::Mat& lines, int reach) {
  const int n = lines.rows, lanes = lines.cols;
  const int window = 2 * reach + 1, padded = n + 2 * reach;
  const std::vector<float> low(size_t(lanes), std::numeric_limits<float>::lowest());
  const auto line = [&](int j) {
    const int i = j - reach;
    return i >= 0 && i < n ? lines.ptr<float>(i) : low.data();
  };
  std::vector<float> fromStart(size_t(padded) * lanes), fromEnd(size_t(padded) * lanes);
  for (int j = 0; j < padded; ++j) {
    const float* in = line(j);
    float* out = &fromStart[size_t(j) * lanes];
    if (j % window == 0) {
      std::copy(in, in + lanes, out);
      continue;
    }
    const float* before = out - lanes;
    for (int c = 0; c < lanes; ++c) out[c] = std::max(before[c], in[c]);
  }
  for (int j = padded - 1; j >= 0; --j) {
    const float* in = line(j);
    float* out = &fromEnd[size_t(j) * lanes];
    if (j % window == window - 1 || j == padded - 1) {
      std::copy(in, in + lanes, out);
      continue;
    }
    const float* after = out + lanes;
    for (int c = 0; c < lanes; ++c) out[c] = std::max(after[c], in[c]);
  }
  cv::Mat result(n, lanes, CV_32FC1);
  for (int i = 0; i < n; ++i) {
    // Padded rows i .. i + 2 reach are the window of row i.
    const float* end = &fromEnd[size_t(i) * lanes];
    const float* start = &fromStart[size_t(i + window - 1) * lanes];
    float* out = result.ptr<float>(i);
    for (int c = 0; c < lanes; ++c) out[c] = std::max(end[c], start[c]);
  }
  return result;
}

}  // namespace

cv::Mat squareMax(const cv::Mat& image, int reach) {
  if (image.type() != CV_32FC1 || reach < 0) return cv::Mat();
  if (image.empty()) return image.clone();
  // Along columns first, then along rows as columns of the turned image.
  cv::Mat turned;
  cv::transpose(linesMax(image, reach), turned);
  cv::Mat result;
  cv::transpose(linesMax(turned, reach), result);
  return result;
}

}  // namespace window_max
