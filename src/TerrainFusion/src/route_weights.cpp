#include "src/TerrainFusion/src/route_weights.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

using tile_model::kPixelsPerCell;

uchar upper(uchar w) { return w == 0 ? 0 : static_cast<uchar>(kDenseWeightFloor + (w >> 1)); }
uchar middle(uchar w) { return w == 0 ? 0 : static_cast<uchar>(kPairOnlyWeightFloor + (w >> 2)); }
uchar lower(uchar w) { return w == 0 ? 0 : static_cast<uchar>(std::max(w >> 2, 1)); }

enum class Rank { kLower, kMiddle, kUpper };

bool cellsOf(const cv::Mat& weight, const cv::Mat& cells, int type) {
  return cells.type() == type && cells.rows * kPixelsPerCell == weight.rows &&
         cells.cols * kPixelsPerCell == weight.cols;
}

// Ranks each pixel by whether `dense` says its cell holds a dense height.
template <typename Dense>
void rankBy(cv::Mat& weight, Dense dense) {
  for (int r = 0; r < weight.rows; ++r) {
    uchar* row = weight.ptr<uchar>(r);
    for (int c = 0; c < weight.cols; ++c) row[c] = dense(r, c) ? upper(row[c]) : lower(row[c]);
  }
}

// Ranks each pixel by the Rank `rankOf` gives it.
template <typename RankOf>
void rankByThree(cv::Mat& weight, RankOf rankOf) {
  for (int r = 0; r < weight.rows; ++r) {
    uchar* row = weight.ptr<uchar>(r);
    for (int c = 0; c < weight.cols; ++c) {
      const Rank rank = rankOf(r, c);
      row[c] = rank == Rank::kUpper    ? upper(row[c])
               : rank == Rank::kMiddle ? middle(row[c])
                                       : lower(row[c]);
    }
  }
}

}  // namespace

void rankWeights(cv::Mat& weight, const cv::Mat& dsm, HeightSource source) {
  if (weight.empty() || weight.type() != CV_8UC1) return;
  if (source == HeightSource::kDense && cellsOf(weight, dsm, CV_32FC1)) {
    rankBy(weight, [&](int r, int c) {
      return tile_model::hasHeight(dsm.at<float>(r / kPixelsPerCell, c / kPixelsPerCell));
    });
    return;
  }
  const bool dense = source == HeightSource::kDense;
  rankBy(weight, [dense](int, int) { return dense; });
}

void rankWeights(cv::Mat& weight, const cv::Mat& dsm, const cv::Mat& denseCells) {
  if (weight.empty() || weight.type() != CV_8UC1) return;
  if (!cellsOf(weight, denseCells, CV_8UC1) || denseCells.size() != dsm.size() ||
      dsm.type() != CV_32FC1) {
    rankWeights(weight, dsm, HeightSource::kDense);
    return;
  }
  rankBy(weight, [&](int r, int c) {
    const int row = r / kPixelsPerCell, column = c / kPixelsPerCell;
    return denseCells.at<uchar>(row, column) != 0 &&
           tile_model::hasHeight(dsm.at<float>(row, column));
  });
}

void rankWeights(cv::Mat& weight, const cv::Mat& dsm, const cv::Mat& denseCells,
                 const cv::Mat& pairOnlyCells) {
  if (weight.empty() || weight.type() != CV_8UC1) return;
  if (!cellsOf(weight, pairOnlyCells, CV_8UC1) || pairOnlyCells.size() != dsm.size() ||
      dsm.type() != CV_32FC1) {
    rankWeights(weight, dsm, denseCells);
    return;
  }
  const bool withDense = cellsOf(weight, denseCells, CV_8UC1);
  rankByThree(weight, [&](int r, int c) {
    const int row = r / kPixelsPerCell, column = c / kPixelsPerCell;
    if (!tile_model::hasHeight(dsm.at<float>(row, column))) return Rank::kLower;
    if (withDense && denseCells.at<uchar>(row, column) != 0) return Rank::kUpper;
    return pairOnlyCells.at<uchar>(row, column) != 0 ? Rank::kMiddle : Rank::kLower;
  });
}

cv::Mat denseCells(const std::vector<cv::Point2d>& positions, cv::Size cells, int reach) {
  cv::Mat marked(cells, CV_8UC1, cv::Scalar(0));
  if (cells.width < 1 || cells.height < 1) return marked;
  for (const cv::Point2d& p : positions) {
    const double column = std::floor(p.x), row = std::floor(p.y);
    // Non-finite positions fail these comparisons too.
    if (!(column >= 0.0 && row >= 0.0 && column < cells.width && row < cells.height)) continue;
    marked.at<uchar>(int(row), int(column)) = 255;
  }
  if (reach > 0) {
    const int side = 2 * reach + 1;
    cv::dilate(marked, marked, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(side, side)));
  }
  return marked;
}
