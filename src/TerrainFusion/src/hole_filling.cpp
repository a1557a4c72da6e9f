#include "src/TerrainFusion/src/hole_filling.h"

#include <opencv2/imgproc.hpp>

#include <vector>

cv::Mat domWithHolesFilled(const cv::Mat& dom, const cv::Mat& weight) {
  const cv::Mat seen = weight > 0;
  const int seenCount = cv::countNonZero(seen);
  if (seenCount == 0 || seenCount == weight.rows * weight.cols) return dom;
  // Float sums and masses of a frame's whole block take about 60 bytes a pixel at full size
  // when every level is kept to the end, which on a wide frame outweighs the frame's image.
  // The full-size level only seeds the coarser ones: its holes take the coarser level pulled
  // up and its seen pixels their own colour, so it is let go as soon as the next is made.
  std::vector<cv::Mat> sums(1), masses(1);
  seen.convertTo(masses[0], CV_32F, 1.0 / 255.0);
  dom.convertTo(sums[0], CV_32FC3);
  sums[0].setTo(cv::Scalar::all(0), ~seen);
  while (sums.back().cols > 1 && sums.back().rows > 1) {
    sums.emplace_back();
    masses.emplace_back();
    cv::pyrDown(sums[sums.size() - 2], sums.back());
    cv::pyrDown(masses[masses.size() - 2], masses.back());
    if (sums.size() == 2) {
      sums[0].release();
      masses[0].release();
    }
  }
  cv::Mat out(dom.size(), CV_8UC3, cv::Scalar::all(0));
  if (sums.size() > 1) {
    cv::Mat filled;
    for (size_t l = sums.size() - 1; l >= 1; --l) {
      cv::Mat mass3, level;
      cv::merge(std::vector<cv::Mat>(3, cv::max(masses[l], 1e-6f)), mass3);
      cv::divide(sums[l], mass3, level);
      if (!filled.empty()) {
        cv::Mat up;
        cv::pyrUp(filled, up, level.size());
        up.copyTo(level, masses[l] < 1e-3f);
      }
      filled = level;
      sums[l].release();
      masses[l].release();
    }
    cv::Mat up;
    cv::pyrUp(filled, up, dom.size());
    filled.release();
    up.convertTo(out, CV_8UC3);
  }
  // A block one pixel wide or high has no coarser level: its holes stay black.
  dom.copyTo(out, seen);
  return out;
}
