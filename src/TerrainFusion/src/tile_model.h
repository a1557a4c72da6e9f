#pragma once

#include "tiles/tile.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

// The shape every tile of the blended products has: DOM and weight of 256 x 256 pixels,
// heights of 64 x 64 cells (one per 4 x 4 pixels), and band stacks of kBandLevels + 1
// entries (DOM bands in stack 1, weight levels in stack 3).
namespace tile_model {

constexpr int kTileSize = 256;
constexpr int kCellsPerTile = 64;
constexpr int kPixelsPerCell = kTileSize / kCellsPerTile;
// min(ceil(log2(tile size)), 5)
constexpr int kBandLevels = 5;
using fw::kNoHeight;
// Whether a height cell holds a height (neither kNoHeight nor NaN).
inline bool hasHeight(float height) { return height > kNoHeight; }

// The stored tile's rasters brought to the data model, as private copies that may be
// changed: wrong or missing heights become no-data, a missing weight 0, a missing DOM black.
struct Rasters {
  cv::Mat dom;
  cv::Mat weight;
  cv::Mat heights;
};
Rasters privateRasters(const fw::ImageTile& stored);
// The same brought to the model for reading only: the stored pixels themselves where they
// fit (never to be written: other tiles and the writers share them), else the fills.
Rasters lentRasters(const fw::ImageTile& stored);

// Whether stacks 1 and 3 hold kBandLevels + 1 entries of the sizes and types of the model.
bool hasValidBandStacks(const TerrainFusionMultiTile& tile);

// Band stacks of a DOM and weight, rebuilt from them.
void rebuildBandStacks(const cv::Mat& dom, const cv::Mat& weight, std::vector<cv::Mat>& bands,
                       std::vector<cv::Mat>& weights);

// The DOM bands of a stored tile for a neighbourhood: its own stack when valid (sharing
// the stored pixels, which are never written), else rebuilt from its DOM.
std::vector<cv::Mat> lentBands(const fw::TileBase& stored);

// The tile's band stacks as private copies, rebuilt when they do not fit the model.
void privateBandStacks(const fw::TileBase& stored, const Rasters& rasters,
                       std::vector<cv::Mat>& bands, std::vector<cv::Mat>& weights);

// The strongest weight of the pixels height cell (r, c) covers in `weight` (8-bit, 4 x 4
// pixels per cell): the cell belongs to whichever frame sees any of it best, not to whichever
// sees its top-left pixel (at a frame's edge that pixel may lie outside while the cell holds
// the frame's height).
uint8_t cellWeight(const cv::Mat& weight, int r, int c);

// The lowest and highest height (CV_32FC1) within `side` x `side` cells around each cell;
// cells without a height take no part (the float range's ends where none lies around).
void heightRange(const cv::Mat& heights, int side, cv::Mat& low, cv::Mat& high);

// The rule the stores apply to the DSM: heights only where the weight resized (bilinear)
// to the height grid is above 0. Applied before every store, so a tile read back merges
// as one that stayed cached.
void maskHeightsByWeight(cv::Mat& heights, const cv::Mat& weight);

// A new tile over the given rasters (shared, not copied) and stacks.
std::shared_ptr<TerrainFusionMultiTile> makeTile(const Rasters& rasters, int32_t x, int32_t y,
                                                 int32_t z, double stamp,
                                                 const std::vector<cv::Mat>& bands,
                                                 const std::vector<cv::Mat>& weights,
                                                 const fw::GImage& auxRaster = fw::GImage(),
                                                 uint32_t tag = 0);

std::vector<fw::GImage> toImages(const std::vector<cv::Mat>& mats);
std::vector<cv::Mat> toMats(const std::vector<fw::GImage>& images);

}  // namespace tile_model
