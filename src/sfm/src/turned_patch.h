#pragma once

#include <opencv2/core.hpp>

namespace sfm {

// An 8-bit single-channel patch turned by `turn` about its pixel (cols / 2, rows / 2), read
// bilinearly with the edge pixels repeated beyond it: the same bytes as OpenCV's warpAffine
// (INTER_LINEAR, BORDER_REPLICATE) with that affine map given as floats. The library sets up tables
// and threads for every call, which costs many times the few hundred pixels of a feature's patch.
// The steps to the byte: the map is inverted in double precision, source positions are placed in
// fixed point to a 32nd of a pixel, and the four weights (whole numbers summing to 2^15) are
// rounded off. Throws std::invalid_argument for a patch that is not 8-bit single-channel or is
// wider than kMostTurnedColumns (the tables of a row live on the stack: a feature's patch is
// small and turned many times a pair).
constexpr int kMostTurnedColumns = 64;
cv::Mat turnedPatch(const cv::Mat& patch, const cv::Matx22f& turn);

}  // namespace sfm
