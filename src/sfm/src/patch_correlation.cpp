#include "patch_correlation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace sfm {

Correlation bestCorrelation(const cv::Mat& search, const cv::Mat& templ) {
  if (search.type() != CV_8UC1 || templ.type() != CV_8UC1)
    throw std::invalid_argument("a correlation of images that are not 8-bit single-channel");
  const int n = templ.rows * templ.cols;
  if (n > kMostTemplatePixels)
    throw std::invalid_argument("a correlation template of more pixels than its sums can hold");
  int64_t t_sum = 0, t_squares = 0;
  for (int v = 0; v < templ.rows; ++v) {
    const uchar* row = templ.ptr<uchar>(v);
    for (int u = 0; u < templ.cols; ++u) {
      t_sum += row[u];
      t_squares += row[u] * row[u];
    }
  }
  const double t_spread = double(n * t_squares - t_sum * t_sum);
  double best = 0.0;
  cv::Point at(-1, -1);
  // Per column of the search patch, the sum and the sum of squares of the rows the template
  // covers at the current shift down: a window's sums are then those of its columns.
  std::vector<int32_t> column_sum(search.cols), column_squares(search.cols);
  for (int y = 0; y + templ.rows <= search.rows; ++y) {
    std::fill(column_sum.begin(), column_sum.end(), 0);
    std::fill(column_squares.begin(), column_squares.end(), 0);
    for (int v = 0; v < templ.rows; ++v) {
      const uchar* row = search.ptr<uchar>(y + v);
      for (int c = 0; c < search.cols; ++c) {
        column_sum[c] += row[c];
        column_squares[c] += row[c] * row[c];
      }
    }
    for (int x = 0; x + templ.cols <= search.cols; ++x) {
      // At most 255 squared per pixel: a template of up to 33000 pixels keeps to 32 bits.
      int32_t i_sum = 0, i_squares = 0, products = 0;
      for (int u = 0; u < templ.cols; ++u) {
        i_sum += column_sum[x + u];
        i_squares += column_squares[x + u];
      }
      for (int v = 0; v < templ.rows; ++v) {
        const uchar* t = templ.ptr<uchar>(v);
        const uchar* i = search.ptr<uchar>(y + v) + x;
        for (int u = 0; u < templ.cols; ++u) products += i[u] * t[u];
      }
      const double spread = t_spread * double(n * int64_t(i_squares) - int64_t(i_sum) * i_sum);
      const double score =
          spread > 0.0 ? double(n * int64_t(products) - t_sum * i_sum) / std::sqrt(spread) : 0.0;
      if (at.x < 0 || score > best) {
        best = score;
        at = cv::Point(x, y);
      }
    }
  }
  return {best, at};
}

}  // namespace sfm
