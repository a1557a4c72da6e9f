#include "tiles/written_tiles.h"
#include "framework/run_tally.h"
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

namespace {

using store_test::makeTile;

// Each tile counts once in the run's summary however often it is written; a tile without a
// DSM raster counts as a DOM tile only; a refused tile counts nowhere.
TEST(WrittenTiles, StoresCountEachImageTheyWroteOnce) {
  for (const bool mbtiles : {false, true}) {
    SCOPED_TRACE(mbtiles ? "MBTiles" : "files");
    fw::RunTally& tally = fw::RunTally::instance();
    tally.reset();
    vmtest::TempDir dir;
    const std::string folder = dir.path().string();
    std::shared_ptr<fw::TileManager> store;
    WrittenTiles* written = nullptr;
    if (mbtiles) {
      auto s = std::make_shared<TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>>(
          folder, "", "");
      written = &s->written();
      store = s;
    } else {
      auto s =
          std::make_shared<TileManagerFileSystemMultiFile<TerrainFusionMultiTile>>(folder, "", "");
      written = &s->written();
      store = s;
    }
    ASSERT_TRUE(store->SetTile(5, 6, 18, makeTile(5, 6, 18, 1)));
    ASSERT_TRUE(store->SetTile(5, 6, 18, makeTile(5, 6, 18, 2)));  // rewritten
    ASSERT_TRUE(store->SetTile(6, 6, 18, makeTile(6, 6, 18, 3)));
    auto noHeights = makeTile(7, 6, 18, 4);
    noHeights->SetElevation(fw::GImage());
    ASSERT_TRUE(store->SetTile(7, 6, 18, noHeights));
    EXPECT_FALSE(store->SetTile(8, 6, 18, nullptr));
    if (mbtiles) {
      auto batched =
          std::dynamic_pointer_cast<TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>>(
              store);
      const auto stored = batched->SetTilesInTransaction(
          {makeTile(6, 6, 18, 5), makeTile(9, 6, 18, 6)});  // one again, one new
      EXPECT_EQ(stored, std::vector<bool>({true, true}));
    }
    const long long dom = mbtiles ? 4 : 3, dsm = mbtiles ? 3 : 2;
    EXPECT_EQ(tally.count(fw::tally::kDomTiles), dom);
    EXPECT_EQ(tally.count(fw::tally::kDsmTiles), dsm);
    EXPECT_EQ(written->domCount(), size_t(dom));
    EXPECT_EQ(written->dsmCount(), size_t(dsm));
  }
}

}  // namespace
