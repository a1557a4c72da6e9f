#include "src/TerrainFusion/src/raster_tile_grid.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr double kMaxPixelsPerImagePixel = 16.0;
// A small frame's footprint still straddles up to 3 x 3 tiles.
constexpr long long kMinLimitTiles = 9;

}  // namespace

RasterTileGrid::RasterTileGrid(const pi::Point2ll& tileSize, const pi::Point2ll& lastTileOfMap,
                               long long nearColumn)
    : tile_(tileSize), lastRow_(lastTileOfMap.y) {
  const long long mapColumns = lastTileOfMap.x + 1, nearTile = nearColumn / tileSize.x;
  firstColumn_ = nearTile - mapColumns;
  lastColumn_ = nearTile + mapColumns;
}

long long RasterTileGrid::column(double pixelX) const {
  const double t = std::floor(pixelX / double(tile_.x));
  if (!(t > double(firstColumn_))) return firstColumn_;
  return t > double(lastColumn_) ? lastColumn_ : static_cast<long long>(t);
}

long long RasterTileGrid::row(double pixelY) const {
  const double t = std::floor(pixelY / double(tile_.y));
  if (!(t > 0.0)) return 0LL;
  return t > double(lastRow_) ? lastRow_ : static_cast<long long>(t);
}

double RasterTileGrid::span(const PixelBox& box, pi::Point2ll& first, pi::Point2ll& last) const {
  first = pi::Point2ll(column(box.minX), row(box.minY));
  last = pi::Point2ll(column(box.maxX), row(box.maxY));
  return double(last.x - first.x + 1) * double(tile_.x) * double(last.y - first.y + 1) *
         double(tile_.y);
}

double rasterPixelLimit(double imagePixels, double frameGsd, double rasterResolution,
                        const pi::Point2ll& tileSize) {
  const double ratio = frameGsd / rasterResolution;
  const double coarser = std::isfinite(ratio) ? std::max(1.0, ratio * ratio) : 1.0;
  return std::min(std::max(kMaxPixelsPerImagePixel * imagePixels * coarser,
                           double(kMinLimitTiles * tileSize.x * tileSize.y)),
                  double(INT32_MAX));
}
