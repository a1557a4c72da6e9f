#include "src/TerrainFusion/src/tile_rasters.h"

#include "framework/log.h"
#include "src/TerrainFusion/src/hole_filling.h"
#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <algorithm>

using tile_model::kBandLevels;
using tile_model::kCellsPerTile;
using tile_model::kTileSize;

bool TileRasters::fitsSpan() const {
  const long long across = tilesAcross(), down = tilesDown();
  // A block larger than this is no frame's footprint; its sizes would overflow an int.
  constexpr long long kMaxTilesPerSide = 4096;
  const bool spanOk =
      across >= 1 && down >= 1 && across <= kMaxTilesPerSide && down <= kMaxTilesPerSide;
  const cv::Size pixels(static_cast<int>(across * kTileSize), static_cast<int>(down * kTileSize));
  const cv::Size cells(static_cast<int>(across * kCellsPerTile),
                       static_cast<int>(down * kCellsPerTile));
  if (spanOk && dom.type() == CV_8UC3 && dom.size() == pixels && weight.type() == CV_8UC1 &&
      weight.size() == pixels && dsm.type() == CV_32FC1 && dsm.size() == cells) {
    return true;
  }
  FW_LOG(fw::kLogError) << "TerrainFusion: local rasters do not fit tiles " << firstTile.x << ","
                        << firstTile.y << " to " << lastTile.x << "," << lastTile.y << " (DOM "
                        << dom.cols << "x" << dom.rows << ", weight " << weight.cols << "x"
                        << weight.rows << ", DSM " << dsm.cols << "x" << dsm.rows << ")";
  return false;
}

FramePyramids::FramePyramids(const TileRasters& rasters) {
  buildLaplacianPyramid(domWithHolesFilled(rasters.dom, rasters.weight), kBandLevels, bands);
  buildWeightPyramid(rasters.weight, kBandLevels, weights);
}

TilePiece cutPiece(const TileRasters& rasters, const FramePyramids& pyramids, int dx, int dy) {
  TilePiece piece;
  const cv::Rect pixels(kTileSize * dx, kTileSize * dy, kTileSize, kTileSize);
  piece.rasters.dom = rasters.dom(pixels);
  piece.rasters.weight = rasters.weight(pixels);
  const cv::Rect cells(kCellsPerTile * dx, kCellsPerTile * dy, kCellsPerTile, kCellsPerTile);
  piece.rasters.heights = rasters.dsm(cells);
  if (rasters.gapCells.size() == rasters.dsm.size()) piece.gapCells = rasters.gapCells(cells);
  for (int l = 0; l <= kBandLevels; ++l) {
    const int s = kTileSize >> l;
    const cv::Rect rect(s * dx, s * dy, s, s);
    piece.bands.push_back(pyramids.bands[l](rect));
    piece.weights.push_back(pyramids.weights[l](rect));
  }
  return piece;
}

void mergeHeightsAndColours(const tile_model::Rasters& piece, tile_model::Rasters& tile,
                            const cv::Mat& gapCells) {
  const bool gaps = gapCells.size() == piece.heights.size() && gapCells.type() == CV_8UC1;
  for (int r = 0; r < kCellsPerTile; ++r) {
    const float* frameHeight = piece.heights.ptr<float>(r);
    float* tileHeight = tile.heights.ptr<float>(r);
    for (int c = 0; c < kCellsPerTile; ++c) {
      // A frame without a height there never erases the stored one, and a cell stored
      // without a height takes the one the frame gave a level gap there, whichever of the
      // two saw it better: the colours still go by the weights.
      if (!tile_model::hasHeight(frameHeight[c])) continue;
      if ((gaps && gapCells.at<uchar>(r, c) != 0 && !tile_model::hasHeight(tileHeight[c])) ||
          tile_model::cellWeight(piece.weight, r, c) > tile_model::cellWeight(tile.weight, r, c)) {
        tileHeight[c] = frameHeight[c];
      }
    }
  }
  const cv::Mat wins = piece.weight > tile.weight;
  piece.dom.copyTo(tile.dom, wins);
  piece.weight.copyTo(tile.weight, wins);
}

void mergeBands(const TilePiece& piece, std::vector<cv::Mat>& bands,
                std::vector<cv::Mat>& weights) {
  for (int l = 0; l <= kBandLevels; ++l) {
    const cv::Mat wins = piece.weights[l] > weights[l];
    piece.bands[l].copyTo(bands[l], wins);
    piece.weights[l].copyTo(weights[l], wins);
  }
}

tile_model::Rasters copyRasters(const tile_model::Rasters& piece) {
  return {piece.dom.clone(), piece.weight.clone(), piece.heights.clone()};
}

std::vector<cv::Mat> copyMats(const std::vector<cv::Mat>& mats) {
  std::vector<cv::Mat> copies;
  copies.reserve(mats.size());
  for (const auto& m : mats) copies.push_back(m.clone());
  return copies;
}
