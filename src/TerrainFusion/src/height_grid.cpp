#include "src/TerrainFusion/src/height_grid.h"

#include "src/TerrainFusion/src/TerrainFusion.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include <cmath>

namespace {

constexpr float kNone = fw::kNoHeight;
constexpr float kHoleBelow = -1e8f;  // cells below this have no height yet
constexpr int kClosingSize = 5;
constexpr int kFillPasses = 5;
constexpr int kFillKernel = 3;
constexpr double kFillSigma = 5.0;

// Marks the cells reached from (1, 1) through cells without height, 4-neighbours; cells on
// the grid's border spread only along the border (so the corners are reached too, but the
// fill does not leak around the grid). Iterative, so any grid size is safe.
cv::Mat outsideOf(const cv::Mat& heights) {
  cv::Mat outside(heights.size(), CV_8UC1, cv::Scalar(0));
  const int rows = heights.rows, columns = heights.cols;
  if (rows < 2 || columns < 2 || !(heights.at<float>(1, 1) <= kHoleBelow)) return outside;
  std::vector<cv::Point> stack{cv::Point(1, 1)};
  outside.at<uchar>(1, 1) = 255;
  while (!stack.empty()) {
    const cv::Point p = stack.back();
    stack.pop_back();
    const bool onBorder = p.x == 0 || p.y == 0 || p.x == columns - 1 || p.y == rows - 1;
    const cv::Point next[4] = {{p.x + 1, p.y}, {p.x - 1, p.y}, {p.x, p.y + 1}, {p.x, p.y - 1}};
    for (const cv::Point& q : next) {
      if (q.x < 0 || q.y < 0 || q.x >= columns || q.y >= rows) continue;
      const bool nextOnBorder = q.x == 0 || q.y == 0 || q.x == columns - 1 || q.y == rows - 1;
      if (onBorder && !nextOnBorder) continue;
      if (outside.at<uchar>(q) || !(heights.at<float>(q) <= kHoleBelow)) continue;
      outside.at<uchar>(q) = 255;
      stack.push_back(q);
    }
  }
  return outside;
}

}  // namespace

bool TerrainFusion::fillGridIdw(const fw::GImage& points, std::vector<fw::GImage>& grids, double x0,
                                double y0, int columns, int rows, sv::Var parameters) {
  return fillHeightGrid(points, grids, x0, y0, columns, rows, parameters.get<double>("gsd", 0.0),
                        parameters.get<double>("gsd_lat", 0.0));
}

bool fillHeightGrid(const fw::GImage& points, std::vector<fw::GImage>& grids, double x0, double y0,
                    int columns, int rows, double gsd, double gsdLat) {
  if (!(gsd > 0.0) || !(gsdLat > 0.0) || !std::isfinite(gsd) || !std::isfinite(gsdLat) ||
      columns < 1 || rows < 1) {
    return false;
  }
  const cv::Mat input(points);
  if (input.depth() != CV_32F || input.channels() != 3 || !input.isContinuous()) return false;
  cv::Mat heights(rows, columns, CV_32FC1, cv::Scalar(kNone));
  cv::Mat weights(rows, columns, CV_32FC1, cv::Scalar(1.0f));
  const cv::Vec3f* p = input.ptr<cv::Vec3f>();
  size_t used = 0;
  // A point's cell is (column, row) = floor of these positions; a position is in the grid
  // exactly when its floor is, so the test goes on the positions and truncation floors them.
  // Non-finite values fail the comparisons and are skipped with the rest.
  const auto add = [&](double column, double row, float height) {
    if (!(column >= 0.0 && column < columns && row >= 0.0 && row < rows) ||
        !std::isfinite(height)) {
      return;
    }
    float& cell = heights.at<float>(int(row), int(column));
    cell = std::max(cell, height);
    ++used;
  };
  const size_t n = input.total();
  size_t i = 0;
#if CV_SIMD128_64F
  // Two points at a time: the divisions are most of the cost, and a vector divides lane by
  // lane as the scalar tail does.
  const cv::v_float64x2 left = cv::v_setall_f64(x0), top = cv::v_setall_f64(y0);
  const cv::v_float64x2 across = cv::v_setall_f64(gsd), down = cv::v_setall_f64(gsdLat);
  for (; i + 2 <= n; i += 2) {
    const cv::v_float64x2 x(static_cast<double>(p[i][0]), static_cast<double>(p[i + 1][0]));
    const cv::v_float64x2 y(static_cast<double>(p[i][1]), static_cast<double>(p[i + 1][1]));
    double column[2], row[2];
    cv::v_store(column, (x - left) / across);
    cv::v_store(row, (top - y) / down);
    add(column[0], row[0], p[i][2]);
    add(column[1], row[1], p[i + 1][2]);
  }
#endif
  for (; i < n; ++i) add((double(p[i][0]) - x0) / gsd, (y0 - double(p[i][1])) / gsdLat, p[i][2]);
  if (used == 0) return false;

  const cv::Mat element =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kClosingSize, kClosingSize));
  cv::dilate(heights, heights, element);
  cv::erode(heights, heights, element);
  cv::Mat outside = outsideOf(heights);
  cv::erode(outside, outside, element);

  std::vector<cv::Point> holes;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      if (!outside.at<uchar>(r, c) && heights.at<float>(r, c) < kHoleBelow)
        holes.emplace_back(c, r);
    }
  }
  for (int pass = 0; pass < kFillPasses && !holes.empty(); ++pass) {
    gaussianWeightFilter(heights, weights, kFillKernel, kFillSigma, holes);
    std::vector<cv::Point> left;
    for (const cv::Point& h : holes) {
      if (heights.at<float>(h) < kHoleBelow) left.push_back(h);
    }
    holes.swap(left);
  }
  grids = {fw::GImage(heights), fw::GImage(weights)};
  return true;
}

void gaussianWeightFilter(cv::Mat& heights, cv::Mat& weights, int k, double sigma,
                          const std::vector<cv::Point>& holes) {
  if (k < 1 || heights.empty()) return;
  const int half = k / 2;
  const float twoPi = 6.2831855f;
  cv::Mat kernel(k, k, CV_64FC1);
  double sum = 0.0;
  for (int i = -half; i < k - half; ++i) {
    for (int j = -half; j < k - half; ++j) {
      const double w =
          std::exp(-(i * i + j * j) / (2.0 * sigma * sigma)) / (double(twoPi) * sigma * sigma);
      kernel.at<double>(i + half, j + half) = w;
      sum += w;
    }
  }
  kernel /= sum;
  cv::Mat padded;
  cv::copyMakeBorder(heights, padded, half, half, half, half, cv::BORDER_CONSTANT,
                     cv::Scalar(kNone));
  for (const cv::Point& h : holes) {
    if (h.x < 0 || h.y < 0 || h.x >= heights.cols || h.y >= heights.rows) continue;
    double total = 0.0, weightSum = 0.0;
    for (int i = 0; i < k; ++i) {
      const float* row = padded.ptr<float>(h.y + i);
      for (int j = 0; j < k; ++j) {
        const float value = row[h.x + j];
        if (value < kHoleBelow) continue;
        const double w = kernel.at<double>(i, j);
        total += w * value;
        weightSum += w;
      }
    }
    heights.at<float>(h) = weightSum > 0.0 ? float(total / weightSum) : kNone;
    weights.at<float>(h) *= 0.5f;
  }
}
