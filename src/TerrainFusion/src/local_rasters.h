#pragma once

#include "values/point.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>

// One frame's local rasters on the Web-Mercator pixel grid of the node's zoom. They cover
// whole tiles, firstTile..lastTile inclusive; pixel (0, 0) is firstTileOrigin.
struct LocalRasters {
  double timestamp = 0.0;
  pi::Point2ll firstTile{0, 0};
  pi::Point2ll lastTile{0, 0};
  pi::Point2ll firstTileOrigin{0, 0};
  pi::Point2ll lastTileOrigin{0, 0};
  int32_t width = 0;
  int32_t height = 0;
  pi::Point2ll tileSize{0, 0};
  pi::Point2ll dsmTileSize{0, 0};  // height cells per tile (one cell per 4 x 4 pixels)
  cv::Mat dom;                     // CV_8UC3, white where nothing was seen
  cv::Mat weight;                  // CV_8UC1, 0 where nothing was seen
  cv::Mat dsm;                     // CV_32FC1 ellipsoidal heights, fw::kNoHeight where none
  // CV_8UC1, the DSM's size, non-zero in the cells whose height fills a level gap
  // (level_gaps.h); empty while none does.
  cv::Mat gapCells;
  double meanHeight = 0.0;
  double cellSize = 0.0;  // metres across a DSM cell
  // How far the frame's heights may stray from those stored before they count as its
  // outliers (height_outliers.h); 0: not checked (heights of unknown precision).
  float strayTolerance = 0.0f;
  // The heights are a coarse surface whose level may be off (a frame's sparse map points,
  // placed on the ground its recorded pose tells when the frame was not refined): they are
  // moved to the level of the heights already stored where the two overlap.
  bool levelToStored = false;
  // Why the rasters could not be made or tiled, in a few words for the run's summary
  // ("insufficient memory"); empty while nothing failed.
  std::string failure;
};
