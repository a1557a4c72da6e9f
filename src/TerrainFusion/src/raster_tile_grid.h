#pragma once

#include "values/point.h"

#include <algorithm>
#include <limits>

// A box of raster pixel positions (absolute Web-Mercator pixels, continuous).
struct PixelBox {
  double minX = std::numeric_limits<double>::max(), maxX = -std::numeric_limits<double>::max();
  double minY = std::numeric_limits<double>::max(), maxY = -std::numeric_limits<double>::max();
  void add(double x, double y) {
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
};

// The whole tiles a local raster covers. Rows are clamped to the map; columns are not, so
// that across the antimeridian they run on, but they stay within one map's width of the
// frame's own tile column. The clamps are taken in double first, so that a wild point
// converts defined.
class RasterTileGrid {
 public:
  // `tileSize` in pixels, `lastTileOfMap` the map's last tile at the zoom, `nearColumn` the
  // pixel column the frame's raster starts near.
  RasterTileGrid(const pi::Point2ll& tileSize, const pi::Point2ll& lastTileOfMap,
                 long long nearColumn);

  long long column(double pixelX) const;
  long long row(double pixelY) const;
  // The tiles `box` falls on; returns their pixel count.
  double span(const PixelBox& box, pi::Point2ll& first, pi::Point2ll& last) const;

 private:
  pi::Point2ll tile_;
  long long lastRow_;
  long long firstColumn_, lastColumn_;
};

// The most pixels a local raster may hold: kMaxPixelsPerImagePixel times the frame's pixels,
// scaled up by the square of (frame GSD / raster resolution) when the raster is coarser than
// the frame, at least kMinLimitTiles tiles and at most INT32_MAX. One far outlier would
// otherwise cost gigabytes.
double rasterPixelLimit(double imagePixels, double frameGsd, double rasterResolution,
                        const pi::Point2ll& tileSize);
