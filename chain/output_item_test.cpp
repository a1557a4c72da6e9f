#include "output_item.h"
#include "output_item_json.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

std::shared_ptr<zel::Tileset> dsmTileset() {
  auto tileset = std::make_shared<zel::Tileset>();
  tileset->id = "dsm_01";
  tileset->state = 10;
  tileset->time_updated = 1700000000.125;
  tileset->tileset_type = 2;
  tileset->tile_size = {64, 64};
  tileset->tile_format = "tiff";
  tileset->geometry = {1.0, 2.0, 3.5, 4.0};
  tileset->zooms = {18, 12};
  tileset->location = "/h/dsm";
  return tileset;
}

TEST(OutputItemJson, MapTileSetIsWrittenWithElevenSortedMembers) {
  json written;
  ASSERT_TRUE(writeOutputItem(dsmTileset(), written));
  EXPECT_EQ(
      written.dump(),
      R"({"crs":"EPSG:3857","geometry":[1.0,2.0,3.5,4.0],"id":"dsm_01","state":10,"storage_type":1,)"
      R"("tile_format":"tiff","tile_size":[64,64],"tileset_type":2,"time_updated":1700000000.125,"type":111,)"
      R"("zooms":[18,12]})");
}

TEST(OutputItemJson, PointCloudTileSetIsWrittenWithFiveMembers) {
  json written;
  ASSERT_TRUE(writeOutputItem(std::make_shared<zel::Tileset3D>(), written));
  EXPECT_EQ(written.dump(),
            R"({"id":"","state":-1,"tileset_type":10,"time_updated":-1.0,"type":-1})");
}

TEST(OutputItemJson, PlainRecordsAreNotReported) {
  json untouched = "before";
  EXPECT_FALSE(writeOutputItem(std::make_shared<zel::OutputItem>(), untouched));
  EXPECT_FALSE(writeOutputItem(nullptr, untouched));
  EXPECT_EQ(untouched, "before");
}

TEST(TilesetCopies, KeepTheirSourceTileSize) {
  const auto source = dsmTileset();
  const auto copy = std::dynamic_pointer_cast<zel::Tileset>(source->clone());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->tile_size, (std::array<std::int32_t, 2>{64, 64}));
  EXPECT_EQ(copy->tile_format, "tiff");
  EXPECT_EQ(copy->location, "/h/dsm");
  EXPECT_EQ(copy->path_template, "{z}/{z}_{x}_{y}");

  zel::Tileset reported;
  reported.update(source);
  EXPECT_EQ(reported.tile_size, source->tile_size);
  EXPECT_EQ(reported.zooms, source->zooms);
  EXPECT_EQ(reported.geometry, source->geometry);
  EXPECT_EQ(reported.id, "dsm_01");
}

TEST(TilesetCopies, UpdateFromAnotherKindCopiesOnlyTheBaseFields) {
  zel::Tileset tileset;
  auto cloud = std::make_shared<zel::Tileset3D>();
  cloud->id = "pointcloud_01";
  cloud->type = 112;
  cloud->tileset_type = 10;
  cloud->location = "/h/dense/tileset.json";
  tileset.update(cloud);
  EXPECT_EQ(tileset.id, "pointcloud_01");
  EXPECT_EQ(tileset.type, 112);
  EXPECT_EQ(tileset.tileset_type, -1);
  EXPECT_EQ(tileset.location, "");

  zel::Tileset3D cloud_copy;
  cloud_copy.update(cloud);
  EXPECT_EQ(cloud_copy.location, "/h/dense/tileset.json");
  auto cloned = std::dynamic_pointer_cast<zel::Tileset3D>(cloud->clone());
  ASSERT_TRUE(cloned);
  EXPECT_EQ(cloned->location, cloud->location);
}

TEST(OutputItemVersions, LaterRefreshesAreNewerEvenInTheSameMillisecond) {
  zel::OutputItem first, second;
  first.markUpdated(10.0);
  second.markUpdated(10.0);
  EXPECT_TRUE(second.isNewerThan(first));
  EXPECT_FALSE(first.isNewerThan(second));
  EXPECT_FALSE(first.isNewerThan(first));
  zel::OutputItem later;
  later.time_updated = 10.001;
  EXPECT_TRUE(later.isNewerThan(second));
  // The version travels with update and clone, so re-adding a copy changes nothing.
  zel::OutputItem copy;
  copy.update(std::make_shared<zel::OutputItem>(second));
  EXPECT_FALSE(second.isNewerThan(copy));
  EXPECT_FALSE(second.clone()->isNewerThan(second));
}

}  // namespace
