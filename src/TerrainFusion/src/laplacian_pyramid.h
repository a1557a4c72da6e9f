#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Laplacian pyramid of `source` with n band levels into out (n + 1 entries). An 8-bit source
// gives 16-bit signed bands and a 16-bit signed coarsest level; any other depth is
// decomposed in its own depth and in place: out[0] shares the source's pixels, so the
// source ends up holding band 0 (pass a copy when the source is still needed).
void buildLaplacianPyramid(const cv::Mat& source, int n, std::vector<cv::Mat>& out);

// Gaussian pyramid of an 8-bit weight: entry 0 the weight itself, entry l + 1 pyrDown of
// entry l; n + 1 entries.
void buildWeightPyramid(const cv::Mat& weight, int n, std::vector<cv::Mat>& out);

// Adds the bands back together: for l = n - 1 down to 0, band l += pyrUp(band l + 1)
// (saturating 16-bit signed). bands[0] then holds the image.
void collapseLaplacianPyramid(std::vector<cv::Mat>& bands);

// The part `window` (level-0 pixels) of what collapseLaplacianPyramid would leave in
// bands[0], without changing the bands: each coarser level is added up only over what the
// finer one reads, which gives the same sums (OpenCV's 16-bit pyrUp is exact integer
// arithmetic, and every cut edge lies a pixel beyond what is kept).
cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Rect& window);
