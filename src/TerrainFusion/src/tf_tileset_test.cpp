#include "src/TerrainFusion/src/tf_tileset.h"

#include <gtest/gtest.h>

namespace {

TEST(TfTileset, KindSetsTypeFormatAndTileSize) {
  const TfTileset dom("dom"), dsm("dsm"), upper("DOM");
  EXPECT_EQ(dom.tileset_type, 1);
  EXPECT_EQ(dom.tile_format, "png");
  EXPECT_EQ(dom.tile_size, (std::array<int32_t, 2>{256, 256}));
  EXPECT_EQ(dsm.tileset_type, 2);
  EXPECT_EQ(dsm.tile_format, "tiff");
  EXPECT_EQ(dsm.tile_size, (std::array<int32_t, 2>{64, 64}));
  EXPECT_EQ(upper.tileset_type, -1);
  EXPECT_EQ(upper.tile_format, "png");
  for (const zel::Tileset* t :
       {static_cast<const zel::Tileset*>(&dom), static_cast<const zel::Tileset*>(&dsm)}) {
    EXPECT_EQ(t->type, 111);
    EXPECT_EQ(t->state, -1);
    EXPECT_EQ(t->time_updated, -1.0);
    EXPECT_EQ(t->storage_type, 1);
    EXPECT_EQ(t->crs, "EPSG:3857");
    EXPECT_EQ(t->path_template, "{z}/{z}_{x}_{y}");
    EXPECT_TRUE(t->id.empty());
    EXPECT_TRUE(t->location.empty());
  }
}

TEST(TfTileset, CloneIsAPlainTilesetKeepingTheKind) {
  const auto clone = std::dynamic_pointer_cast<zel::Tileset>(TfTileset("dsm").clone());
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<TfTileset>(clone), nullptr);
  EXPECT_EQ(clone->tileset_type, 2);
  EXPECT_EQ(clone->tile_format, "tiff");
}

}  // namespace
