#pragma once

#include <opencv2/core.hpp>

namespace window_max {

// The largest value within `reach` pixels of each pixel of a 32-bit float image, each way
// along rows and columns (a square of side 2 reach + 1, cut off at the image's edges): what
// cv::dilate gives with such a square, in a few comparisons per pixel however wide the square
// (cv::dilate takes one per pixel of its side). Empty for another type or a negative reach.
cv::Mat squareMax(const cv::Mat& image, int reach);

}  // namespace window_max
