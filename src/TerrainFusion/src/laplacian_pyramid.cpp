#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <utility>

CoarseSpan coarseSpanOf(int fineFirst, int fineEnd, int coarseLength, int fineLength) {
  CoarseSpan span;
  span.first = std::max(fineFirst / 2 - 1, 0);
  span.end = std::min((fineEnd + 1) / 2 + 1, coarseLength);
  span.pulledUp =
      span.end == coarseLength ? fineLength - 2 * span.first : 2 * (span.end - span.first);
  return span;
}

cv::Mat pulledUpRows(const cv::Mat& coarse, cv::Size fineSize, int y0, int y1, cv::Mat& up) {
  const CoarseSpan rows = coarseSpanOf(y0, y1, coarse.rows, fineSize.height);
  cv::pyrUp(coarse.rowRange(rows.first, rows.end), up, cv::Size(fineSize.width, rows.pulledUp));
  const int skip = y0 - 2 * rows.first;
  return up.rowRange(skip, skip + y1 - y0);
}

namespace {

// Rows of the finer level pulled up and subtracted per band: a whole level pulled up at
// once would be a frame's full-size block more to allocate and to stream through memory.
constexpr int kBandRows = 64;

// fine - pyrUp(coarse), 16-bit signed, a band of rows at a time.
cv::Mat bandOf(const cv::Mat& fine, const cv::Mat& coarse) {
  cv::Mat band(fine.size(), CV_MAKETYPE(CV_16S, fine.channels()));
  cv::Mat up;
  for (int y0 = 0; y0 < fine.rows; y0 += kBandRows) {
    const int y1 = std::min(y0 + kBandRows, fine.rows);
    cv::Mat bandRows = band.rowRange(y0, y1);
    cv::subtract(fine.rowRange(y0, y1), pulledUpRows(coarse, fine.size(), y0, y1, up), bandRows,
                 cv::noArray(), CV_16S);
  }
  return band;
}

}  // namespace

void buildLaplacianPyramid(const cv::Mat& source, int n, std::vector<cv::Mat>& out) {
  if (n < 0) n = 0;
  out.resize(static_cast<size_t>(n) + 1);
  if (source.depth() == CV_8U) {
    if (n == 0) {
      source.convertTo(out[0], CV_16S);
      return;
    }
    cv::Mat prev = source;
    cv::Mat cur;
    cv::pyrDown(source, cur);
    for (int i = 0; i + 1 < n; ++i) {
      cv::Mat next;
      cv::pyrDown(cur, next);
      out[i] = bandOf(prev, cur);
      prev = cur;
      cur = next;
    }
    out[n - 1] = bandOf(prev, cur);
    cur.convertTo(out[n], CV_16S, 1.0, 0.0);
    return;
  }
  out[0] = source;
  for (int i = 0; i < n; ++i) cv::pyrDown(out[i], out[i + 1]);
  for (int i = 0; i < n; ++i) {
    cv::Mat up;
    cv::pyrUp(out[i + 1], up, out[i].size());
    cv::subtract(out[i], up, out[i]);
  }
}

void buildWeightPyramid(const cv::Mat& weight, int n, std::vector<cv::Mat>& out) {
  if (n < 0) n = 0;
  out.resize(static_cast<size_t>(n) + 1);
  out[0] = weight;
  for (int l = 0; l < n; ++l) cv::pyrDown(out[l], out[l + 1]);
}

void collapseLaplacianPyramid(std::vector<cv::Mat>& bands) {
  for (int l = static_cast<int>(bands.size()) - 2; l >= 0; --l) {
    cv::Mat up;
    cv::pyrUp(bands[l + 1], up, bands[l].size());
    cv::add(bands[l], up, bands[l]);
  }
}

cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Mat& finest,
                        cv::Size finestSize, cv::Point at) {
  const auto levelSize = [&](size_t l) { return l == 0 ? finestSize : bands[l].size(); };
  // Level l + 1's spans (columns, rows) that pulled up give level l's window.
  std::vector<std::pair<CoarseSpan, CoarseSpan>> spans(bands.size());
  std::vector<cv::Rect> windows(bands.size());
  windows[0] = cv::Rect(at, finest.size());
  for (size_t l = 0; l + 1 < bands.size(); ++l) {
    const cv::Rect& w = windows[l];
    const cv::Size fine = levelSize(l), coarse = bands[l + 1].size();
    // Pulled up to an odd size, OpenCV's last row can depend on where its vectors end:
    // such a level is pulled up whole, as the full collapse does.
    const bool whole = fine.width % 2 || fine.height % 2;
    spans[l + 1] = {
        coarseSpanOf(whole ? 0 : w.x, whole ? fine.width : w.x + w.width, coarse.width, fine.width),
        coarseSpanOf(whole ? 0 : w.y, whole ? fine.height : w.y + w.height, coarse.height,
                     fine.height)};
    const CoarseSpan &xs = spans[l + 1].first, &ys = spans[l + 1].second;
    windows[l + 1] = cv::Rect(xs.first, ys.first, xs.end - xs.first, ys.end - ys.first);
  }
  if (bands.size() == 1) return finest.clone();
  cv::Mat coarse = bands.back()(windows.back());
  for (size_t l = bands.size() - 1; l-- > 0;) {
    const CoarseSpan &xs = spans[l + 1].first, &ys = spans[l + 1].second;
    const cv::Rect& f = windows[l];
    cv::Mat up, fine;
    cv::pyrUp(coarse, up, cv::Size(xs.pulledUp, ys.pulledUp));
    const cv::Mat pulled = up(cv::Rect(f.x - 2 * xs.first, f.y - 2 * ys.first, f.width, f.height));
    cv::add(l == 0 ? finest : bands[l](f), pulled, fine);
    coarse = fine;
  }
  return coarse;
}

cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Rect& window) {
  return collapsedWindow(bands, bands[0](window), bands[0].size(), window.tl());
}
