#include "src/TerrainFusion/src/level_gaps.h"

#include "src/TerrainFusion/src/nearest_known.h"
#include "src/TerrainFusion/src/tile_model.h"

namespace level_gaps {

using tile_model::hasHeight;
using tile_model::kPixelsPerCell;

int fillLevelGaps(cv::Mat& dsm, const cv::Mat& weight, const cv::Mat& stored, cv::Mat& filled) {
  filled.release();
  if (dsm.empty() || dsm.type() != CV_32FC1 || stored.type() != CV_32FC1 ||
      stored.size() != dsm.size() || weight.type() != CV_8UC1 ||
      weight.rows != dsm.rows * kPixelsPerCell || weight.cols != dsm.cols * kPixelsPerCell) {
    return 0;
  }
  // The heights known around each cell (the frame's own, else the stored one), their range
  // within reach, and the nearest of them.
  cv::Mat known(dsm.size(), CV_32FC1), unknown(dsm.size(), CV_8UC1);
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      const float own = dsm.at<float>(r, c), other = stored.at<float>(r, c);
      const float height = hasHeight(own) ? own : other;
      known.at<float>(r, c) = height;
      unknown.at<uchar>(r, c) = hasHeight(height) ? 0 : 255;
    }
  }
  const int gaps = cv::countNonZero(unknown);
  if (gaps == 0 || gaps == int(unknown.total())) return 0;
  cv::Mat low, high;
  tile_model::heightRange(known, 2 * kReach + 1, low, high);
  cv::Mat distance;
  const cv::Mat nearest = nearestKnown(known, unknown == 0, distance);
  int count = 0;
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      if (unknown.at<uchar>(r, c) == 0 || distance.at<float>(r, c) > float(kReach) ||
          high.at<float>(r, c) - low.at<float>(r, c) > kMaxSpan ||
          tile_model::cellWeight(weight, r, c) == 0) {
        continue;
      }
      dsm.at<float>(r, c) = nearest.at<float>(r, c);
      if (filled.empty()) filled = cv::Mat::zeros(dsm.size(), CV_8UC1);
      filled.at<uchar>(r, c) = 255;
      ++count;
    }
  }
  return count;
}

}  // namespace level_gaps
