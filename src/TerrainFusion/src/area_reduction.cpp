#include "src/TerrainFusion/src/area_reduction.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// to[i] += from[i], on arrays that do not overlap. In runs of 16 of fixed length, which the
// compiler adds as whole vectors.
void addBytes(int* __restrict to, const uchar* __restrict from, int n) {
  constexpr int kRun = 16;
  int i = 0;
  for (; i + kRun <= n; i += kRun)
    for (int j = 0; j < kRun; ++j) to[i + j] += from[i + j];
  for (; i < n; ++i) to[i] += from[i];
}

// Sums over the source rows of one reduced row, per source column: colours of every pixel,
// and colours and counts of the seen ones (only with a mask). Columns past the image, up to
// whole blocks, continue its last column.
struct ColumnSums {
  std::vector<int> all, seen, count;
  ColumnSums(int paddedCols, bool masked)
      : all(3 * paddedCols, 0),
        seen(masked ? 3 * paddedCols : 0, 0),
        count(masked ? paddedCols : 0, 0) {}

  void clear() {
    std::fill(all.begin(), all.end(), 0);
    std::fill(seen.begin(), seen.end(), 0);
    std::fill(count.begin(), count.end(), 0);
  }

  void add(const uchar* pixels, const uchar* mask, int cols) {
    addBytes(all.data(), pixels, 3 * cols);
    if (!mask) return;
    for (int x = 0; x < cols; ++x) {
      const int in = mask[x] != 0;
      count[x] += in;
      for (int ch = 0; ch < 3; ++ch) seen[3 * x + ch] += in * pixels[3 * x + ch];
    }
  }

  void continueEdge(int cols) {
    for (size_t i = 3 * size_t(cols); i < all.size(); ++i) all[i] = all[i - 3];
    for (size_t i = 3 * size_t(cols); i < seen.size(); ++i) seen[i] = seen[i - 3];
    for (size_t i = cols; i < count.size(); ++i) count[i] = count[i - 1];
  }
};

// Reduced row `r` from the column sums of its source rows.
void writeRow(const ColumnSums& sums, int factor, int r, AreaReduction& out) {
  const int area = factor * factor;
  const double perArea = double(AreaReduction::kLevelScale) / area;
  cv::Vec<uint16_t, 3>* reduced = out.image.ptr<cv::Vec<uint16_t, 3>>(r);
  uchar* covered = out.coverage.empty() ? nullptr : out.coverage.ptr<uchar>(r);
  for (int b = 0; b < out.image.cols; ++b) {
    int n = 0;
    if (covered)
      for (int i = 0; i < factor; ++i) n += sums.count[b * factor + i];
    const bool some = n > 0;
    const int* column = (some ? sums.seen : sums.all).data() + 3 * b * factor;
    int sum[3] = {0, 0, 0};
    for (int i = 0; i < 3 * factor; i += 3) {
      sum[0] += column[i];
      sum[1] += column[i + 1];
      sum[2] += column[i + 2];
    }
    const double scale = some ? double(AreaReduction::kLevelScale) / n : perArea;
    for (int ch = 0; ch < 3; ++ch) reduced[b][ch] = uint16_t(sum[ch] * scale + 0.5);
    // A block with any seen pixel stays seen, however small its share.
    if (covered) covered[b] = uchar(some ? std::max(1, int(255.0 * n / area + 0.5)) : 0);
  }
}

}  // namespace

AreaReduction reduceByArea(const cv::Mat& image, const cv::Mat& seen, int factor) {
  if (image.type() != CV_8UC3 || image.empty())
    throw std::invalid_argument("reduceByArea: the image must be 8-bit with three channels");
  if (!seen.empty() && (seen.type() != CV_8UC1 || seen.size() != image.size()))
    throw std::invalid_argument("reduceByArea: the mask must be 8-bit of the image's size");
  if (factor < 1 || factor > kMaxReductionFactor)
    throw std::invalid_argument("reduceByArea: the factor must be from 1 to " +
                                std::to_string(kMaxReductionFactor));
  AreaReduction out;
  out.factor = factor;
  if (factor == 1) {
    out.image = image;
    out.coverage = seen;
    return out;
  }
  const int cols = (image.cols + factor - 1) / factor, rows = (image.rows + factor - 1) / factor;
  out.image.create(rows, cols, CV_16UC3);
  if (!seen.empty()) out.coverage.create(rows, cols, CV_8UC1);
  // One pass on the calling thread: the frame's other work runs beside it on the other
  // workers, and the bytes cannot depend on how rows were shared out.
  ColumnSums sums(cols * factor, !seen.empty());
  for (int r = 0; r < rows; ++r) {
    sums.clear();
    for (int j = 0; j < factor; ++j) {
      const int y = std::min(r * factor + j, image.rows - 1);
      sums.add(image.ptr<uchar>(y), seen.empty() ? nullptr : seen.ptr<uchar>(y), image.cols);
    }
    sums.continueEdge(image.cols);
    writeRow(sums, factor, r, out);
  }
  return out;
}

namespace {

// Colours of `reduced` as 32-bit floats in levels, and times its coverage (0 to 1) when it
// has one.
cv::Mat levelsOf(const AreaReduction& reduced, const cv::Mat& weight) {
  cv::Mat levels;
  reduced.image.convertTo(levels, CV_32FC3, reduced.levelsPerUnit());
  if (weight.empty()) return levels;
  cv::Mat weight3;
  cv::merge(std::vector<cv::Mat>(3, weight), weight3);
  return levels.mul(weight3);
}

}  // namespace

AreaReduction reduceByFraction(const AreaReduction& reduced, double fraction, cv::Vec2d& applied) {
  if (reduced.image.empty()) throw std::invalid_argument("reduceByFraction: nothing to reduce");
  if (!(fraction >= 1.0) || !std::isfinite(fraction))
    throw std::invalid_argument("reduceByFraction: the fraction must be finite, from 1 on");
  applied = cv::Vec2d(1.0, 1.0);
  if (fraction < 1.0 + kNegligibleFraction) return reduced;
  const cv::Size from = reduced.image.size();
  const cv::Size to(std::max(1, int(std::lround(from.width / fraction))),
                    std::max(1, int(std::lround(from.height / fraction))));
  applied = cv::Vec2d(double(from.width) / to.width, double(from.height) / to.height);
  AreaReduction out;
  out.factor = reduced.factor;
  if (reduced.coverage.empty()) {
    // OpenCV's area resize of 16-bit pixels sums in floating point and rounds once.
    cv::Mat levels = reduced.image;
    if (levels.depth() == CV_8U) levels.convertTo(levels, CV_16UC3, AreaReduction::kLevelScale);
    cv::resize(levels, out.image, to, 0.0, 0.0, cv::INTER_AREA);
    return out;
  }
  // In floating point, colours weighted by their seen share.
  cv::Mat weight, sums, shares;
  reduced.coverage.convertTo(weight, CV_32F, 1.0 / 255.0);
  cv::resize(levelsOf(reduced, weight), sums, to, 0.0, 0.0, cv::INTER_AREA);
  // Where nothing is seen, the plain mean, so that a read there still continues the image.
  cv::Mat plain;
  cv::resize(levelsOf(reduced, cv::Mat()), plain, to, 0.0, 0.0, cv::INTER_AREA);
  cv::resize(weight, shares, to, 0.0, 0.0, cv::INTER_AREA);
  out.image.create(to, CV_16UC3);
  out.coverage.create(to, CV_8UC1);
  for (int y = 0; y < to.height; ++y) {
    const cv::Vec3f* sum = sums.ptr<cv::Vec3f>(y);
    const cv::Vec3f* mean = plain.ptr<cv::Vec3f>(y);
    const float* share = shares.ptr<float>(y);
    cv::Vec<uint16_t, 3>* pixel = out.image.ptr<cv::Vec<uint16_t, 3>>(y);
    uchar* covered = out.coverage.ptr<uchar>(y);
    for (int x = 0; x < to.width; ++x) {
      const bool some = share[x] > 0.0f;
      const cv::Vec3f levels = some ? sum[x] * (1.0f / share[x]) : mean[x];
      for (int ch = 0; ch < 3; ++ch)
        pixel[x][ch] = cv::saturate_cast<uint16_t>(levels[ch] * AreaReduction::kLevelScale);
      covered[x] = uchar(some ? std::max(1, int(255.0f * share[x] + 0.5f)) : 0);
    }
  }
  return out;
}
