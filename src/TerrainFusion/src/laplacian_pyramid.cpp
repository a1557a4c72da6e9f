#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

// Rows of the finer level pulled up and subtracted per band: a whole level pulled up at
// once would be a frame's full-size block more to allocate and to stream through memory.
constexpr int kBandRows = 64;

// fine - pyrUp(coarse), 16-bit signed. Each band pulls up the coarse rows it reads and one
// more on each side, whose pulled-up rows see the band's cut edge and are not used; OpenCV's
// 8-bit pyrUp is integer arithmetic over whole rows, so the bands give the whole's bytes.
cv::Mat bandOf(const cv::Mat& fine, const cv::Mat& coarse) {
  cv::Mat band(fine.size(), CV_MAKETYPE(CV_16S, fine.channels()));
  cv::Mat up;
  for (int y0 = 0; y0 < fine.rows; y0 += kBandRows) {
    const int y1 = std::min(y0 + kBandRows, fine.rows);
    const int first = std::max(y0 / 2 - 1, 0), end = std::min((y1 + 1) / 2 + 1, coarse.rows);
    const int upRows = end == coarse.rows ? fine.rows - 2 * first : 2 * (end - first);
    cv::pyrUp(coarse.rowRange(first, end), up, cv::Size(fine.cols, upRows));
    const int skip = y0 - 2 * first;
    cv::Mat bandRows = band.rowRange(y0, y1);
    cv::subtract(fine.rowRange(y0, y1), up.rowRange(skip, skip + y1 - y0), bandRows, cv::noArray(),
                 CV_16S);
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

namespace {

// The rows or columns [first, end) of a coarser level of `coarseSize` that pulled up give
// rows or columns [fineFirst, fineEnd) exactly: an even fine pixel reads the coarse one
// under it and one on each side, an odd one the two around it.
void coarseSpan(int fineFirst, int fineEnd, int coarseSize, int& first, int& end) {
  first = std::max(fineFirst / 2 - 1, 0);
  end = std::min((fineEnd + 1) / 2 + 1, coarseSize);
}

// The size pyrUp gives a crop starting at `first` of a coarse level `coarseSize` long: twice
// the crop, unless the crop reaches the level's end, where the finer level's own size rules.
int pulledUpSize(int first, int end, int coarseSize, int fineSize) {
  return end == coarseSize ? fineSize - 2 * first : 2 * (end - first);
}

}  // namespace

cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Rect& window) {
  std::vector<cv::Rect> windows(bands.size());
  windows[0] = window;
  for (size_t l = 0; l + 1 < bands.size(); ++l) {
    const cv::Rect& w = windows[l];
    int x0, x1, y0, y1;
    coarseSpan(w.x, w.x + w.width, bands[l + 1].cols, x0, x1);
    coarseSpan(w.y, w.y + w.height, bands[l + 1].rows, y0, y1);
    windows[l + 1] = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    // Pulled up to an odd size, OpenCV's last row can depend on where its vectors end:
    // such a level is pulled up whole, as the full collapse does.
    if (bands[l].cols % 2 || bands[l].rows % 2) windows[l + 1] = cv::Rect({}, bands[l + 1].size());
  }
  cv::Mat coarse = bands.back()(windows.back());
  for (size_t l = bands.size() - 1; l-- > 0;) {
    const cv::Rect& c = windows[l + 1];
    const cv::Rect& f = windows[l];
    const cv::Size upSize(pulledUpSize(c.x, c.x + c.width, bands[l + 1].cols, bands[l].cols),
                          pulledUpSize(c.y, c.y + c.height, bands[l + 1].rows, bands[l].rows));
    cv::Mat up, fine;
    cv::pyrUp(coarse, up, upSize);
    cv::add(bands[l](f), up(cv::Rect(f.x - 2 * c.x, f.y - 2 * c.y, f.width, f.height)), fine);
    coarse = fine;
  }
  return bands.size() == 1 ? coarse.clone() : coarse;
}
