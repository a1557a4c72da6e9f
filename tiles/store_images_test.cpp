#include "tiles/store_images.h"

#include "tiles/store_test_support.h"
#include "tiles/tile_blobs.h"

#include <gtest/gtest.h>

namespace {

// Both stores keep a tile's images through these steps: the bytes put decode to the tile's
// own rasters, an image that does not encode never reaches the store, and only the images
// the store kept are counted in its timings.
TEST(StoreImages, PutDecodableImagesAndTimeOnlyThoseKept) {
  store_test::LogCapture log;
  const auto tile = store_test::makeTile(1, 2, 3, 7);
  StoreTimings timings;
  std::vector<uint8_t> kept;
  const store_images::Put keep = [&](const std::vector<uint8_t>& bytes) {
    kept = bytes;
    return true;
  };
  const store_images::Put refuse = [](const std::vector<uint8_t>&) { return false; };

  ASSERT_TRUE(store_images::putDom(*tile, 0, "1,2,3", timings, keep));
  fw::GImage image;
  ASSERT_TRUE(tile_blobs::decodeDomPng(kept.data(), kept.size(), image));
  EXPECT_TRUE(store_test::sameRaster(image, tile->GetImage()));
  ASSERT_TRUE(store_images::putDsm(*tile, "1,2,3", timings, keep));
  fw::GImage heights;
  ASSERT_TRUE(tile_blobs::decodeDsmTiff(kept.data(), kept.size(), heights));
  EXPECT_TRUE(store_test::sameRaster(heights, tile->GetElevation()));

  EXPECT_FALSE(store_images::putDsm(*tile, "1,2,3", timings, refuse));
  // A weight of another size than the image gives no DOM.
  const TerrainFusionMultiTile odd(tile->GetImage(), tile->GetElevation(), 1, 2, 3, 1.0,
                                   fw::GImage(cv::Mat(10, 10, CV_8UC1, cv::Scalar(1))));
  bool reached = false;
  EXPECT_FALSE(store_images::putDom(odd, 0, "1,2,3", timings,
                                    [&](const std::vector<uint8_t>&) { return reached = true; }));
  EXPECT_FALSE(reached);
  EXPECT_EQ(log.count("Can't encode dom png file 1,2,3", fw::kLogError), 1u);

  timings.log();
  EXPECT_EQ(log.count(": 1 tiles"), 1u);  // the one DSM kept
  EXPECT_EQ(store_images::multiTileOf(std::make_shared<fw::ImageTile>()), nullptr);
  EXPECT_EQ(log.count("Can't cast tile to TerrainFusionMultiTile", fw::kLogError), 1u);
}

}  // namespace
