#include "src/TerrainFusion/src/tile_rasters.h"

#include "src/TerrainFusion/src/tile_model.h"

#include <gtest/gtest.h>

namespace {

using tile_model::kCellsPerTile;
using tile_model::kNoHeight;
using tile_model::kPixelsPerCell;
using tile_model::kTileSize;

tile_model::Rasters rastersOf(uchar weight, float height, uchar colour) {
  return {cv::Mat(kTileSize, kTileSize, CV_8UC3, cv::Scalar::all(colour)),
          cv::Mat(kTileSize, kTileSize, CV_8UC1, cv::Scalar(weight)),
          cv::Mat(kCellsPerTile, kCellsPerTile, CV_32FC1, cv::Scalar(height))};
}

void setCell(tile_model::Rasters& r, int row, int column, uchar weight, float height) {
  r.weight(cv::Rect(column * kPixelsPerCell, row * kPixelsPerCell, kPixelsPerCell, kPixelsPerCell))
      .setTo(weight);
  r.heights.at<float>(row, column) = height;
}

// The stronger frame's heights and colours win; a weaker frame changes nothing where a height
// is stored, nor where none is but with its measured heights, but gives a cell stored without
// a height the one it filled a level gap with (the colours stay); a frame without a height
// never erases the stored one, however strong.
TEST(TileRasters, HeightsGoByWeightButLevelGapsFillCellsStoredWithoutOne) {
  tile_model::Rasters tile = rastersOf(50, 100.0f, 10);
  setCell(tile, 1, 1, 50, kNoHeight);
  setCell(tile, 5, 5, 50, kNoHeight);
  tile_model::Rasters piece = rastersOf(30, 90.0f, 200);
  setCell(piece, 3, 3, 80, 95.0f);
  setCell(piece, 4, 4, 80, kNoHeight);

  cv::Mat gapCells = cv::Mat::zeros(kCellsPerTile, kCellsPerTile, CV_8UC1);
  for (int cell = 0; cell < 5; ++cell) gapCells.at<uchar>(cell, cell) = 255;

  mergeHeightsAndColours(piece, tile, gapCells);
  EXPECT_EQ(tile.heights.at<float>(0, 0), 100.0f);     // weaker: the stored height stays
  EXPECT_EQ(tile.heights.at<float>(1, 1), 90.0f);      // weaker, but nothing stored: filled
  EXPECT_EQ(tile.heights.at<float>(5, 5), kNoHeight);  // the same, but measured: not filled
  EXPECT_EQ(tile.heights.at<float>(3, 3), 95.0f);      // stronger
  EXPECT_EQ(tile.heights.at<float>(4, 4), 100.0f);     // stronger without a height
  const cv::Point filledPixel(kPixelsPerCell, kPixelsPerCell), strongerPixel(16, 16);
  EXPECT_EQ(tile.dom.at<cv::Vec3b>(filledPixel)[0], 10);
  EXPECT_EQ(tile.weight.at<uchar>(filledPixel), 50);
  EXPECT_EQ(tile.dom.at<cv::Vec3b>(strongerPixel)[0], 200);
  EXPECT_EQ(tile.weight.at<uchar>(strongerPixel), 80);
}

}  // namespace
