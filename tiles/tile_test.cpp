#include "tiles/tile.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <memory>

namespace {

fw::GImage raster(int rows, int cols, int type, uint8_t fill = 7) {
  fw::GImage r(rows, cols, type);
  if (r.data) std::fill_n(r.data, r.byteSize(), fill);
  return r;
}

TEST(TileClasses, BaseBehaviourOfAnImageTile) {
  const fw::GImage image = raster(4, 4, CV_8UC3);
  fw::ImageTile tile(image);
  EXPECT_EQ(tile.type(), "ImageTile");
  EXPECT_EQ(tile.GetImage().data, image.data);  // shares, does not copy
  EXPECT_TRUE(tile.GetElevation().empty());
  EXPECT_TRUE(tile.GetWeight().empty());
  EXPECT_TRUE(tile.GetAuxRaster().empty());
  tile.SetAuxRaster(image);
  EXPECT_TRUE(tile.GetAuxRaster().empty());
  EXPECT_EQ(tile.GetTag(), 0xFFFFFFFFu);
  tile.SetTag(5);
  EXPECT_EQ(tile.GetTag(), 0xFFFFFFFFu);
  EXPECT_EQ(tile.GetPosition(), (pi::Point3_<int32_t>{0, 0, -1}));
  EXPECT_EQ(tile.GetTimestamp(), -1.0);
  EXPECT_FALSE(tile.IsModified());
  tile.SetModified(true);
  EXPECT_TRUE(tile.IsModified());
  tile.SetModified(false);
  EXPECT_FALSE(tile.IsModified());
}

TEST(TileClasses, TypeNamesThroughTheCommonHandle) {
  const std::vector<std::pair<std::shared_ptr<fw::TileBase>, std::string>> tiles = {
      {std::make_shared<fw::ImageTile>(), "ImageTile"},
      {std::make_shared<fw::TerrainTile>(), "TerrainTile"},
      {std::make_shared<fw::TerrainTileWithInfo>(), "TerrainTile"},
      {std::make_shared<TerrainFusionTile>(), "TerrainFusionTile"},
      {std::make_shared<TerrainFusionMultiTile>(), "TerrainFusionMultiTile"}};
  for (const auto& [tile, name] : tiles) {
    EXPECT_EQ(tile->type(), name);
    auto image = std::dynamic_pointer_cast<fw::ImageTile>(tile);
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->IsModified());  // cleared on construction
  }
}

TEST(TileClasses, FusionTileHoldsWhatItWasGiven) {
  const fw::GImage image = raster(256, 256, CV_8UC3), elevation = raster(64, 64, CV_32FC1),
                   weight = raster(256, 256, CV_8UC1), aux = raster(2, 2, CV_8UC1);
  const double time = 12.5;
  TerrainFusionMultiTile tile(image, elevation, 3, 4, 5, time, weight, aux, 9);
  EXPECT_EQ(tile.GetImage().data, image.data);
  EXPECT_EQ(tile.GetElevation().data, elevation.data);
  EXPECT_EQ(tile.GetWeight().data, weight.data);
  EXPECT_EQ(tile.GetAuxRaster().data, aux.data);
  EXPECT_EQ(tile.GetPosition(), (pi::Point3_<int32_t>{3, 4, 5}));
  EXPECT_EQ(tile.GetTimestamp(), 12.5);
  EXPECT_EQ(tile.GetTag(), 9u);
  tile.SetTag(10);
  EXPECT_EQ(tile.GetTag(), 10u);
  tile.SetTimestamp(99.0);
  EXPECT_EQ(tile.GetTimestamp(), 99.0);
  const fw::GImage other = raster(8, 8, CV_32FC1);
  tile.SetElevation(other);
  EXPECT_EQ(tile.GetElevation().data, other.data);
  tile.SetAuxRaster(other);
  EXPECT_EQ(tile.GetAuxRaster().data, other.data);
  EXPECT_TRUE(tile.GetBandStack1().empty());
}

TEST(TileClasses, CopyWeightToSharesWithoutChangingTheTile) {
  const fw::GImage weight = raster(256, 256, CV_8UC1, 3);
  TerrainFusionTile tile(fw::GImage(), fw::GImage(), 0, 0, 1, 0.0, weight);
  fw::GImage r = raster(2, 2, CV_8UC1);
  tile.CopyWeightTo(r);
  EXPECT_EQ(r.data, weight.data);
  EXPECT_EQ(tile.GetWeight().data, weight.data);
  r.data[0] = 42;  // writes land in the tile's own buffer
  EXPECT_EQ(tile.GetWeight().data[0], 42);
}

TEST(TileClasses, BandStackCopiesAreNewVectorsSharingPixels) {
  TerrainFusionMultiTile tile;
  tile.bandStack1 = {raster(256, 256, CV_16SC3), raster(128, 128, CV_16SC3)};
  std::vector<fw::GImage> copy = tile.GetBandStack1();
  ASSERT_EQ(copy.size(), 2u);
  EXPECT_EQ(copy[1].data, tile.bandStack1[1].data);
  copy.pop_back();
  EXPECT_EQ(tile.GetBandStack1().size(), 2u);
}

TEST(TileClasses, MemorySizes) {
  const fw::GImage image = raster(256, 256, CV_8UC3), elevation = raster(64, 64, CV_32FC1),
                   weight = raster(256, 256, CV_8UC1);
  const uint32_t bImage = 256 * 256 * 3, bElevation = 64 * 64 * 4;
  EXPECT_EQ(fw::ImageTile(image).MemorySize(), bImage + 12);
  EXPECT_EQ(fw::TerrainTile(image, elevation).MemorySize(), bImage + 24 + bElevation);
  EXPECT_EQ(fw::TerrainTileWithInfo(image, elevation, 1, 2, 3, 4.0).MemorySize(),
            bElevation + 44 + bImage);
  EXPECT_EQ(TerrainFusionTile(image, elevation, 1, 2, 3, 4.0, weight).MemorySize(),
            4u * (64 * 64 + 256 * 256));

  TerrainFusionMultiTile multi(image, elevation, 1, 2, 3, 4.0, weight);
  uint64_t total = 0;
  EXPECT_EQ(multi.RecordSize(total), 65592u);
  EXPECT_EQ(total, 65592u);
  EXPECT_EQ(multi.RecordSize(total), 2 * 65592u);  // adds to the running total
  EXPECT_EQ(multi.MemorySize(), 65592u + 4 * 256 * 256 + 4 * 64 * 64);
  multi.bandStack2 = {raster(256, 256, CV_16SC3), fw::GImage()};
  total = 0;
  EXPECT_EQ(multi.RecordSize(total), 65592u + 12 + 256 * 256 * 6 + 12);
}

}  // namespace
