#include "src/TerrainFusion/src/route_weights.h"

#include <algorithm>

namespace {

// The lowest weight of a dense pixel with a height; everything else stays below it.
constexpr int kDenseFloor = 128;
using tile_model::kPixelsPerCell;

uchar upper(uchar w) { return w == 0 ? 0 : static_cast<uchar>(kDenseFloor + (w >> 1)); }
uchar lower(uchar w) { return w == 0 ? 0 : static_cast<uchar>(std::max(w >> 1, 1)); }

}  // namespace

void rankWeights(cv::Mat& weight, const cv::Mat& dsm, HeightSource source) {
  if (weight.empty() || weight.type() != CV_8UC1) return;
  const bool cells = source == HeightSource::kDense && dsm.type() == CV_32FC1 &&
                     dsm.rows * kPixelsPerCell == weight.rows &&
                     dsm.cols * kPixelsPerCell == weight.cols;
  for (int r = 0; r < weight.rows; ++r) {
    uchar* row = weight.ptr<uchar>(r);
    const float* heights = cells ? dsm.ptr<float>(r / kPixelsPerCell) : nullptr;
    for (int c = 0; c < weight.cols; ++c) {
      const bool dense = heights ? tile_model::hasHeight(heights[c / kPixelsPerCell])
                                 : source == HeightSource::kDense;
      row[c] = dense ? upper(row[c]) : lower(row[c]);
    }
  }
}
