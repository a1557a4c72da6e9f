#include "src/TerrainFusion/src/level_gaps.h"

#include "src/TerrainFusion/src/tile_model.h"

#include <opencv2/imgproc.hpp>

#include <limits>
#include <vector>

namespace level_gaps {

using tile_model::hasHeight;
using tile_model::kPixelsPerCell;

namespace {

bool sawCell(const cv::Mat& weight, int r, int c) {
  for (int y = r * kPixelsPerCell; y < (r + 1) * kPixelsPerCell; ++y) {
    const uchar* row = weight.ptr<uchar>(y) + c * kPixelsPerCell;
    for (int x = 0; x < kPixelsPerCell; ++x) {
      if (row[x] != 0) return true;
    }
  }
  return false;
}

}  // namespace

int fillLevelGaps(cv::Mat& dsm, const cv::Mat& weight, const cv::Mat& stored, cv::Mat& filled) {
  filled.release();
  if (dsm.empty() || dsm.type() != CV_32FC1 || stored.type() != CV_32FC1 ||
      stored.size() != dsm.size() || weight.type() != CV_8UC1 ||
      weight.rows != dsm.rows * kPixelsPerCell || weight.cols != dsm.cols * kPixelsPerCell) {
    return 0;
  }
  // The heights known around each cell (the frame's own, else the stored one), their range
  // within reach, and the nearest of them.
  cv::Mat known(dsm.size(), CV_32FC1), low(dsm.size(), CV_32FC1), high(dsm.size(), CV_32FC1);
  cv::Mat unknown(dsm.size(), CV_8UC1);
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      const float own = dsm.at<float>(r, c), other = stored.at<float>(r, c);
      const float height = hasHeight(own) ? own : other;
      const bool there = hasHeight(height);
      known.at<float>(r, c) = height;
      low.at<float>(r, c) = there ? height : std::numeric_limits<float>::max();
      high.at<float>(r, c) = there ? height : -std::numeric_limits<float>::max();
      unknown.at<uchar>(r, c) = there ? 0 : 255;
    }
  }
  if (cv::countNonZero(unknown) == 0 || cv::countNonZero(unknown) == int(unknown.total())) return 0;
  const cv::Mat around =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * kReach + 1, 2 * kReach + 1));
  cv::erode(low, low, around, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
  cv::dilate(high, high, around, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
  cv::Mat distance, labels;
  cv::distanceTransform(unknown, distance, labels, cv::DIST_L2, cv::DIST_MASK_5,
                        cv::DIST_LABEL_PIXEL);
  // Where each label's height stands.
  std::vector<cv::Point> labelled(static_cast<size_t>(unknown.total()) + 1, cv::Point(-1, -1));
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      if (unknown.at<uchar>(r, c) == 0) labelled[size_t(labels.at<int>(r, c))] = {c, r};
    }
  }
  int count = 0;
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      if (unknown.at<uchar>(r, c) == 0 || distance.at<float>(r, c) > float(kReach) ||
          high.at<float>(r, c) - low.at<float>(r, c) > kMaxSpan || !sawCell(weight, r, c)) {
        continue;
      }
      const cv::Point nearest = labelled[size_t(labels.at<int>(r, c))];
      if (nearest.x < 0) continue;
      dsm.at<float>(r, c) = known.at<float>(nearest);
      if (filled.empty()) filled = cv::Mat::zeros(dsm.size(), CV_8UC1);
      filled.at<uchar>(r, c) = 255;
      ++count;
    }
  }
  return count;
}

}  // namespace level_gaps
