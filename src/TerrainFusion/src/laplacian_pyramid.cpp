#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <opencv2/imgproc.hpp>

namespace {

cv::Mat bandOf(const cv::Mat& fine, const cv::Mat& coarse) {
  cv::Mat up, band;
  cv::pyrUp(coarse, up, fine.size());
  cv::subtract(fine, up, band, cv::noArray(), CV_16S);
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
