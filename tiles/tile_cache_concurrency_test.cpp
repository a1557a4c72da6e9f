#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
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

// A store whose first write waits until the test lets it go, and says when it has begun.
class HeldStore : public fw::TileManager {
 public:
  std::shared_ptr<fw::TileBase> GetTile(int32_t x, int32_t y, int32_t z) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reads;
    auto it = tiles_.find({x, y, z});
    return it == tiles_.end() ? nullptr : it->second;
  }
  bool SetTile(int32_t x, int32_t y, int32_t z,
               const std::shared_ptr<fw::TileBase>& tile) override {
    std::unique_lock<std::mutex> lock(mutex_);
    writing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    tiles_[{x, y, z}] = tile;
    return true;
  }
  void awaitWrite() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return writing_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int readsSoFar() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool writing_ = false;
  bool released_ = false;
  int reads = 0;
  std::map<std::tuple<int32_t, int32_t, int32_t>, std::shared_ptr<fw::TileBase>> tiles_;
};

// While the store writes an evicted tile, the cache serves other threads, and a read of
// that tile gets it back from the cache instead of the store, which does not hold it yet.
TEST(TileCacheConcurrency, EvictedTilesAreWrittenOutsideTheCacheLock) {
  auto store = std::make_shared<HeldStore>();
  TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, 4);
  const auto tile = version(0, 0, 1);
  cache.SetTile(0, 0, 9, tile);
  std::thread evicting([&cache] { cache.releaseTilesOlderThan(1e9); });
  store->awaitWrite();
  // Would wait for ever if the write held the cache lock.
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.GetTile(0, 0, 9), tile);
  EXPECT_EQ(store->readsSoFar(), 0);
  store->release();
  evicting.join();
  EXPECT_EQ(store->GetTile(0, 0, 9), tile);
  EXPECT_EQ(cache.GetTile(0, 0, 9), tile) << "taken back into the cache";
  EXPECT_EQ(cache.writeBackFailures(), 0u);
}

}  // namespace
