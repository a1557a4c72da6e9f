#pragma once

#include "src/TerrainFusion/src/tile_model.h"

#include <opencv2/core.hpp>

#include <vector>

// Where a frame's heights come from. Dense heights (a depth map's points, or ready rasters)
// are measured over the whole ground; heights from a frame's sparse map points are spread
// between a few hundred points, and its DOM is rectified onto that coarse surface.
enum class HeightSource { kDense, kSparse };

// The lowest weight of a dense pixel with a height; every other pixel weighs less.
constexpr int kDenseWeightFloor = 128;
// The lowest weight of a pixel whose height only its own image pair confirmed (two depth
// maps matched from the same two images, which share their mismatches): it ranks below every
// independently confirmed dense pixel and above every sparse one.
constexpr int kPairOnlyWeightFloor = 64;

// Ranks a local raster's weights (8-bit, 0 where the frame has nothing) by what stands
// behind them: pixels of a dense frame whose height cell (`dsm`, one cell per 4 x 4 pixels)
// holds a height move into the upper half of the byte; a sparse frame's pixels, and a dense
// frame's pixels without a height, into the lowest quarter; each keeps its own order. Tiles
// merge by the greater weight, so a frame without a depth map fills only the DOM and DSM that
// no dense height covers, whichever of the two comes first.
void rankWeights(cv::Mat& weight, const cv::Mat& dsm, HeightSource source);

// The same for a dense frame whose DSM holes were filled from its sparse surface: only the
// pixels of cells marked in `denseCells` (8-bit, the DSM's size, non-zero where a dense
// height stands) move into the upper half; the filled cells rank with the sparse frames. A
// mask of another size ranks the frame as kDense does.
void rankWeights(cv::Mat& weight, const cv::Mat& dsm, const cv::Mat& denseCells);

// The same with a third rank: pixels of cells marked in `pairOnlyCells` (the DSM's size) but
// not in `denseCells` move into the second quarter (from kPairOnlyWeightFloor), so that those
// heights fill where no independently confirmed one is stored and never replace one.
void rankWeights(cv::Mat& weight, const cv::Mat& dsm, const cv::Mat& denseCells,
                 const cv::Mat& pairOnlyCells);

// The cells of a `cells`-sized DSM grid that a dense height stands in: those holding one of
// `positions` (cell coordinates, x along columns, y along rows), widened by `reach` cells
// the way the grid closes small gaps between its points.
cv::Mat denseCells(const std::vector<cv::Point2d>& positions, cv::Size cells, int reach);
