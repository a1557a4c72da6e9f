#pragma once

#include <opencv2/core.hpp>

namespace sfm {

struct Correlation {
  double score = 0.0;  // -1 to 1
  cv::Point at;        // top left of the template's placement in the search patch
};

// The normalised correlation of an 8-bit single-channel template with each placement of it
// inside an 8-bit single-channel search patch at least as large, both less their means
// (OpenCV's TM_CCOEFF_NORMED), and the first placement, row by row, that scores highest; a
// flat template or window scores 0, and a search patch smaller than the template has no
// placement (0 at (-1, -1)). The sums are whole numbers, so they are exact; the score is
// made from them in double precision, the same way for every placement, so ties and the
// chosen placement do not depend on the order of any sum. The library's general routine (a
// Fourier transform, made for large images) costs many times as much at the sizes of a
// feature's patch.
// Throws std::invalid_argument for a template of more than kMostTemplatePixels, whose sums
// would not fit the 32-bit counts kept per placement, or for images that are not 8-bit
// single-channel.
constexpr int kMostTemplatePixels = 33000;
Correlation bestCorrelation(const cv::Mat& search, const cv::Mat& templ);

}  // namespace sfm
