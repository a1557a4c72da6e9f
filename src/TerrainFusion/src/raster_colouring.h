#pragma once

#include "framework/pinhole.h"
#include "src/TerrainFusion/src/decoded_image.h"
#include "src/TerrainFusion/src/footprint_sampler.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <optional>

// The colouring steps of the local rasteriser: a frame's DOM and weight from its image, over
// the heights of its DSM.

// The raster's place on the Web-Mercator grid and on its own ENU axes.
struct RasterLayout {
  pi::Point2ll firstTile, lastTile, tile;
  long long width = 0, height = 0;  // pixels
  int columns = 0, rows = 0;        // DSM cells
  pi::Point2ll origin;              // absolute pixel of the raster's (0, 0)
  cv::Vec2d originEnu;
  cv::Matx22d enuFromPixel;
  double columnStep = 0.0, rowStep = 0.0;  // metres per pixel along a row and a column
};

// The colour lookup of one frame: along a raster row the camera point is linear in the
// column and in the height, c = rowStart + dx * alongColumn + z * alongHeight.
struct ColourLookup {
  cv::Matx34d cameraFromEnu;
  cv::Vec3d alongColumn, alongHeight, alongRow;
  fw::Pinhole pinhole;
  int imageW = 0, imageH = 0;
  float radius = 1.0f;  // half the image's diagonal, for the weight's fall-off
  std::optional<FootprintSampler> footprint;
};

// Camera pixels across a raster pixel of `layout` for a camera of `gsd` metres per pixel on
// the ground.
double footprintPixelsOf(const RasterLayout& layout, double gsd);

// Set up before the heights: the image is reduced to the DOM's resolution once, so that the
// decoded image can be let go before the height grid needs its memory. `imageSize`: the
// camera's, in whose pixels `pinhole` and `gsd` (metres per pixel on the ground) are given.
void setUpColourLookup(const DecodedImage& decoded, cv::Size imageSize, const fw::Pinhole& pinhole,
                       const cv::Matx34d& cameraFromEnu, double gsd, const RasterLayout& layout,
                       ColourLookup& lookup);

// Colours every DOM pixel from the image around its centre, at the height of its cell, and
// weighs it by the distance of its image pixel from the image's centre (1 where its cell has
// no height of its own) times the cell's weight. `heights` are ellipsoidal, `shift` takes
// them back to the ENU frame; a row's cells without height take the height before them
// (`meanHeight` at the row's start). `dom` and `weight` come filled with white and 0.
void colourRaster(const ColourLookup& lookup, const RasterLayout& layout, const cv::Mat& heights,
                  const cv::Mat& cellWeights, double meanHeight, double shift, cv::Mat& dom,
                  cv::Mat& weight);
