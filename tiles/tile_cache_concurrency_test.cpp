#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr int kThreads = 8;
constexpr int kRows = 4;      // tiles per thread
constexpr int kVersions = 5;  // each tile is replaced this often

std::shared_ptr<TerrainFusionMultiTile> version(int thread, int row, int v) {
  // Small tiles keep the run short under the thread sanitizer.
  return store_test::makeTile(thread, row, 9, thread * 1000 + row * 10 + v,
                              store_test::Weight::LeftHalf, v, 32, 8);
}

// Eight threads share a cache of four tiles: each replaces its own tiles, reads the
// others' and runs one of the cache's maintenance operations; at the end the store holds
// the last version of every tile.
void hammer(const std::shared_ptr<fw::TileManager>& store) {
  {
    TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&cache, t] {
        for (int v = 1; v <= kVersions; ++v) {
          for (int row = 0; row < kRows; ++row) {
            cache.SetTile(t, row, 9, version(t, row, v));
            cache.GetTile((t + 1) % kThreads, row, 9);  // another thread's tile, or null
            switch (t % 4) {
              case 0:
                cache.flushTilesOlderThanToMbtiles(v - 1.0);
                break;
              case 1:
                cache.call("saveCache", nullptr);
                break;
              case 2:
                cache.CheckTile(t, row, 9, v - 0.5);
                break;
              case 3:
                cache.releaseTilesOlderThan(v - 1.0);
                break;
            }
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(cache.writeBackFailures(), 0u);
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int row = 0; row < kRows; ++row) {
      auto read = store->GetTile(t, row, 9);
      ASSERT_NE(read, nullptr) << t << "," << row;
      EXPECT_TRUE(store_test::sameTile(*read, *version(t, row, kVersions))) << t << "," << row;
    }
  }
}

TEST(TileCacheConcurrency, EightThreadsOnFourTilesOverMbtiles) {
  vmtest::TempDir dir;
  hammer(std::make_shared<TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>>(
      (dir / "t").string(), "", ""));
}

TEST(TileCacheConcurrency, EightThreadsOnFourTilesOverFiles) {
  vmtest::TempDir dir;
  hammer(std::make_shared<TileManagerFileSystemMultiFile<TerrainFusionMultiTile>>(
      (dir / "t").string(), "", ""));
}

}  // namespace
