#pragma once

#include "src/TerrainFusion/src/tile_model.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <vector>

// A frame's local rasters over a block of whole tiles at the node's zoom: DOM (8-bit BGR) and
// weight (8-bit) of 256 pixels per tile, heights (float) of 64 cells per tile; pixel (0, 0)
// is the top-left corner of the first tile.
struct TileRasters {
  pi::Point2_<long long> firstTile;
  pi::Point2_<long long> lastTile;
  cv::Mat dom;
  cv::Mat weight;
  cv::Mat dsm;
  cv::Mat gapCells;  // as LocalRasters::gapCells

  long long tilesAcross() const { return lastTile.x - firstTile.x + 1; }
  long long tilesDown() const { return lastTile.y - firstTile.y + 1; }
  // Sizes and types match the tile span (logs the refusal otherwise).
  bool fitsSpan() const;
};

// The frame's pyramids, built once per frame and cut per tile.
struct FramePyramids {
  std::vector<cv::Mat> bands;    // DOM Laplacian bands, 16-bit signed
  std::vector<cv::Mat> weights;  // weight Gaussian levels, 8-bit
  explicit FramePyramids(const TileRasters& rasters);
};

// Views of the part of the frame that falls on tile (dx, dy) of the block.
struct TilePiece {
  tile_model::Rasters rasters;
  std::vector<cv::Mat> bands;
  std::vector<cv::Mat> weights;
  cv::Mat gapCells;  // the piece's cells of TileRasters::gapCells; empty when it has none
};
TilePiece cutPiece(const TileRasters& rasters, const FramePyramids& pyramids, int dx, int dy);

// Winner-takes-all merges into a private copy of a tile: a value is replaced only where the
// frame's weight is strictly greater. A height cell is decided by the strongest weight of its
// pixels, before the colours change the tile's weight; a frame without a height in a cell
// leaves the stored one, and a cell stored without a height takes the height the frame gave a
// level gap there (`gapCells`, the piece's cells, may be empty) whatever the weights: the
// colours still go by them.
void mergeHeightsAndColours(const tile_model::Rasters& piece, tile_model::Rasters& tile,
                            const cv::Mat& gapCells = cv::Mat());
void mergeBands(const TilePiece& piece, std::vector<cv::Mat>& bands, std::vector<cv::Mat>& weights);

// Deep copies of the piece, for a tile made from it.
tile_model::Rasters copyRasters(const tile_model::Rasters& piece);
std::vector<cv::Mat> copyMats(const std::vector<cv::Mat>& mats);
