#include "src/TerrainFusion/src/raster_tile_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const pi::Point2ll kTile(256, 256);

// Zoom 2: 4 x 4 tiles.
TEST(RasterTileGrid, RowsStayOnTheMap) {
  const RasterTileGrid grid(kTile, pi::Point2ll(3, 3), 0);
  EXPECT_EQ(grid.row(-1.0), 0);
  EXPECT_EQ(grid.row(255.9), 0);
  EXPECT_EQ(grid.row(256.0), 1);
  EXPECT_EQ(grid.row(1e300), 3);
  EXPECT_EQ(grid.row(kNan), 0);
}

TEST(RasterTileGrid, ColumnsRunOnAcrossTheAntimeridianForOneMapWidth) {
  // A frame starting in the map's last column.
  const RasterTileGrid grid(kTile, pi::Point2ll(3, 3), 3 * 256 + 10);
  EXPECT_EQ(grid.column(3 * 256 + 20.0), 3);
  EXPECT_EQ(grid.column(4 * 256 + 1.0), 4);  // east of the antimeridian, not wrapped to 0
  EXPECT_EQ(grid.column(-1.0), -1);
  // A wild point stops one map's width away, on either side, and converts defined.
  EXPECT_EQ(grid.column(1e300), 3 + 4);
  EXPECT_EQ(grid.column(-1e300), 3 - 4);
  EXPECT_EQ(grid.column(kNan), 3 - 4);
}

TEST(RasterTileGrid, SpanCountsThePixelsOfWholeTiles) {
  const RasterTileGrid grid(kTile, pi::Point2ll(3, 3), 0);
  PixelBox box;
  box.add(10.0, 10.0);
  pi::Point2ll first, last;
  EXPECT_EQ(grid.span(box, first, last), 256.0 * 256.0);
  EXPECT_EQ(first, pi::Point2ll(0, 0));
  EXPECT_EQ(last, pi::Point2ll(0, 0));
  box.add(600.0, 300.0);
  EXPECT_EQ(grid.span(box, first, last), 3.0 * 2.0 * 256.0 * 256.0);
  EXPECT_EQ(last, pi::Point2ll(2, 1));
}

TEST(RasterPixelLimit, SixteenImagesWithinNineTilesAndInt32) {
  // A small image still gets its 3 x 3 tiles.
  EXPECT_EQ(rasterPixelLimit(100.0, 0.1, 0.1, kTile), 9.0 * 256 * 256);
  // A raster as fine as the image or finer: sixteen times its pixels.
  EXPECT_EQ(rasterPixelLimit(1e6, 0.1, 0.1, kTile), 16e6);
  EXPECT_EQ(rasterPixelLimit(1e6, 0.1, 0.4, kTile), 16e6);
  // A raster coarser than the image by 2 may hold 4 times as much.
  EXPECT_EQ(rasterPixelLimit(1e6, 0.2, 0.1, kTile), 64e6);
  // A ratio that is not finite does not scale; the total never passes INT32_MAX.
  EXPECT_EQ(rasterPixelLimit(1e6, 0.1, 0.0, kTile), 16e6);
  EXPECT_EQ(rasterPixelLimit(1e9, 0.1, 0.1, kTile), double(INT32_MAX));
}

}  // namespace
