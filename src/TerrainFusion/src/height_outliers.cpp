#include "src/TerrainFusion/src/height_outliers.h"

#include "src/TerrainFusion/src/route_weights.h"
#include "src/TerrainFusion/src/tile_model.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace height_outliers {

using tile_model::hasHeight;
using tile_model::kCellsPerTile;
using tile_model::kPixelsPerCell;

float strayTolerance(double depthError, double cellSize) {
  if (!(depthError > 0.0) || !std::isfinite(depthError)) return 0.0f;
  const double apart = kStraySigmas * std::sqrt(2.0) * depthError;
  return static_cast<float>(std::isfinite(cellSize) ? std::max(apart, cellSize) : apart);
}

int dropStrayHeights(cv::Mat& dsm, cv::Mat& weight, const cv::Mat& stored, float tolerance,
                     int judgedBelow) {
  if (!(tolerance > 0.0f) || dsm.empty() || dsm.type() != CV_32FC1 || stored.size() != dsm.size() ||
      stored.type() != CV_32FC1 || weight.type() != CV_8UC1 ||
      weight.rows != dsm.rows * kPixelsPerCell || weight.cols != dsm.cols * kPixelsPerCell) {
    return 0;
  }
  // The range of the stored heights around each cell: cells without one take no part.
  cv::Mat low, high;
  tile_model::heightRange(stored, kNeighbourhood, low, high);
  int dropped = 0;
  for (int r = 0; r < dsm.rows; ++r) {
    float* frame = dsm.ptr<float>(r);
    const float* s = stored.ptr<float>(r);
    const float* l = low.ptr<float>(r);
    const float* h = high.ptr<float>(r);
    for (int c = 0; c < dsm.cols; ++c) {
      if (!hasHeight(frame[c]) || !hasHeight(s[c]) || h[c] - l[c] > tolerance) continue;
      if (frame[c] >= l[c] - tolerance && frame[c] <= h[c] + tolerance) continue;
      if (tile_model::cellWeight(weight, r, c) >= judgedBelow) continue;
      frame[c] = tile_model::kNoHeight;
      weight(cv::Rect(c * kPixelsPerCell, r * kPixelsPerCell, kPixelsPerCell, kPixelsPerCell))
          .setTo(cv::Scalar(0));
      ++dropped;
    }
  }
  return dropped;
}

namespace {

// Stored minus frame height in the cells both hold one.
std::vector<float> sharedDifferences(const cv::Mat& dsm, const cv::Mat& stored) {
  std::vector<float> differences;
  if (dsm.type() != CV_32FC1 || stored.type() != CV_32FC1 || dsm.size() != stored.size())
    return differences;
  for (int r = 0; r < dsm.rows; ++r) {
    const float* frame = dsm.ptr<float>(r);
    const float* s = stored.ptr<float>(r);
    for (int c = 0; c < dsm.cols; ++c) {
      if (hasHeight(frame[c]) && hasHeight(s[c])) differences.push_back(s[c] - frame[c]);
    }
  }
  return differences;
}

float medianOf(std::vector<float>& values) {
  const auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

float offsetToStored(const cv::Mat& dsm, const cv::Mat& stored) {
  std::vector<float> differences = sharedDifferences(dsm, stored);
  if (differences.size() < size_t(kMinSharedCells)) return 0.0f;
  return medianOf(differences);
}

float liftToStored(const cv::Mat& dsm, const cv::Mat& stored, float tolerance) {
  std::vector<float> differences = sharedDifferences(dsm, stored);
  if (!(tolerance > 0.0f) || differences.size() < size_t(kMinSharedCells)) return 0.0f;
  const float median = medianOf(differences);
  if (!(std::fabs(median) > tolerance)) return 0.0f;
  const auto off = std::count_if(differences.begin(), differences.end(), [&](float d) {
    return median > 0.0f ? d > tolerance : d < -tolerance;
  });
  const auto level = std::count_if(differences.begin(), differences.end(),
                                   [&](float d) { return std::fabs(d - median) <= tolerance; });
  const double needed = kMovedShare * double(differences.size());
  return double(off) >= needed && double(level) >= needed ? median : 0.0f;
}

StoredCells storedCells(TileAccess& access, const pi::Point2ll& firstTile,
                        const pi::Point2ll& lastTile, int32_t zoom) {
  const long long across = lastTile.x - firstTile.x + 1, down = lastTile.y - firstTile.y + 1;
  const cv::Size cells(int(across * kCellsPerTile), int(down * kCellsPerTile));
  StoredCells stored{cv::Mat(cells, CV_32FC1, cv::Scalar(tile_model::kNoHeight)),
                     cv::Mat::zeros(cells, CV_8UC1)};
  for (long long dy = 0; dy < down; ++dy) {
    for (long long dx = 0; dx < across; ++dx) {
      const auto tile = std::dynamic_pointer_cast<fw::ImageTile>(access.readTile(
          wrapColumn(firstTile.x + dx, zoom), static_cast<int32_t>(firstTile.y + dy), zoom));
      if (!tile) continue;
      const tile_model::Rasters lent = tile_model::lentRasters(*tile);
      const cv::Rect part(int(dx * kCellsPerTile), int(dy * kCellsPerTile), kCellsPerTile,
                          kCellsPerTile);
      lent.heights.copyTo(stored.heights(part));
      cv::Mat weights = stored.weights(part);
      for (int r = 0; r < kCellsPerTile; ++r) {
        for (int c = 0; c < kCellsPerTile; ++c)
          weights.at<uchar>(r, c) = tile_model::cellWeight(lent.weight, r, c);
      }
    }
  }
  return stored;
}

cv::Mat heightsWeighingAtLeast(const StoredCells& stored, int weightFloor) {
  cv::Mat heights(stored.heights.size(), CV_32FC1, cv::Scalar(tile_model::kNoHeight));
  stored.heights.copyTo(heights, stored.weights >= weightFloor);
  return heights;
}

}  // namespace height_outliers
