#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <tuple>

namespace {

using store_test::makeTile;

// A store in memory that records what the cache asks of it.
class MemoryStore : public fw::TileManager {
 public:
  using Key = std::tuple<int32_t, int32_t, int32_t>;
  enum class Mode { Store, Refuse, Throw };

  std::shared_ptr<fw::TileBase> GetTile(int32_t x, int32_t y, int32_t z) override {
    ++gets;
    auto it = tiles.find({x, y, z});
    return it == tiles.end() ? nullptr : it->second;
  }
  bool SetTile(int32_t x, int32_t y, int32_t z,
               const std::shared_ptr<fw::TileBase>& tile) override {
    writes.push_back({x, y, z});
    if (mode == Mode::Throw) throw std::runtime_error("cannot create folder");
    if (mode == Mode::Refuse) return false;
    tiles[{x, y, z}] = tile;
    return true;
  }
  void call(const std::string& command, void*) override { commands.push_back(command); }

  Mode mode = Mode::Store;
  int gets = 0;
  std::map<Key, std::shared_ptr<fw::TileBase>> tiles;
  std::vector<Key> writes;
  std::vector<std::string> commands;
};

struct CacheFixture : ::testing::Test {
  std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
  std::unique_ptr<TileManagerCachedGDAL> cache;
  void open(uint32_t capacity) {
    cache = std::make_unique<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(), store,
                                                    capacity);
  }
};

TEST_F(CacheFixture, EvictionWritesBackOnlyModifiedTilesToTheirOwnPosition) {
  // Tile stored under key A reports another position: write-back follows the tile.
  store->tiles[{1, 1, 5}] = makeTile(7, 8, 5, 1);
  store->tiles[{2, 2, 5}] = makeTile(2, 2, 5, 2);
  store->tiles[{3, 3, 5}] = makeTile(3, 3, 5, 3);
  std::dynamic_pointer_cast<fw::ImageTile>(store->tiles[{2, 2, 5}])->SetModified(false);
  std::dynamic_pointer_cast<fw::ImageTile>(store->tiles[{3, 3, 5}])->SetModified(false);
  open(2);
  cache->GetTile(1, 1, 5);
  cache->GetTile(2, 2, 5);
  cache->GetTile(3, 3, 5);
  EXPECT_EQ(store->writes, (std::vector<MemoryStore::Key>{{7, 8, 5}}));
  EXPECT_EQ(cache->size(), 2u);
  cache->GetTile(1, 1, 5);  // evicts B, not modified
  EXPECT_EQ(store->writes.size(), 1u);
  cache.reset();  // A is modified still: written again on close; C is not
  EXPECT_EQ(store->writes.size(), 2u);
}

TEST_F(CacheFixture, AMissingTileIsCachedAsNullUntilSet) {
  open(4);
  EXPECT_EQ(cache->GetTile(1, 2, 3), nullptr);
  EXPECT_EQ(cache->GetTile(1, 2, 3), nullptr);
  EXPECT_EQ(store->gets, 1);
  auto tile = makeTile(1, 2, 3, 1);
  EXPECT_TRUE(cache->SetTile(1, 2, 3, tile));
  EXPECT_EQ(cache->GetTile(1, 2, 3), tile);
  EXPECT_EQ(store->gets, 1);
}

TEST_F(CacheFixture, WithoutAStoreNothingIsCachedOrWritten) {
  cache = std::make_unique<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(), nullptr, 2);
  EXPECT_EQ(cache->GetTile(0, 0, 1), nullptr);
  EXPECT_EQ(cache->size(), 0u);
  cache->SetTile(0, 0, 1, makeTile(0, 0, 1, 1));
  cache->call("saveCache", nullptr);
  EXPECT_EQ(cache->CheckTile(0, 0, 1, 0.0), 0.0);
  EXPECT_EQ(cache->type(), "TileManagerCached");
}

TEST_F(CacheFixture, RangeGrowsOnlyWithTilesAtTheFinestZoom) {
  open(8);
  fw::TileRange r = cache->GetRange();
  r.level = 5;
  cache->SetRange(r);
  cache->SetTile(4, 9, 4, makeTile(4, 9, 4, 1));
  EXPECT_TRUE(cache->GetRange().empty());
  cache->SetTile(10, 12, 5, makeTile(10, 12, 5, 1));
  r = store->GetRange();  // the store's range is the one that grows
  EXPECT_EQ(std::make_tuple(r.minX, r.minY, r.maxX, r.maxY), std::make_tuple(10, 12, 10, 12));
  cache->SetTile(8, 15, 5, makeTile(8, 15, 5, 1));
  r = cache->GetRange();
  EXPECT_EQ(std::make_tuple(r.minX, r.minY, r.maxX, r.maxY), std::make_tuple(8, 12, 10, 15));
  EXPECT_EQ(cache->GetLevel(), 5u);
}

TEST_F(CacheFixture, ReplacingACachedTileDropsTheOldOneWithoutWriting) {
  open(4);
  auto old = makeTile(1, 1, 3, 1);
  cache->SetTile(1, 1, 3, old);
  auto replacement = makeTile(1, 1, 3, 2);
  replacement->SetModified(false);
  cache->SetTile(1, 1, 3, replacement);
  EXPECT_EQ(cache->GetTile(1, 1, 3), replacement);
  cache.reset();
  EXPECT_TRUE(store->writes.empty());
}

TEST_F(CacheFixture, SaveCacheWritesModifiedTilesAndKeepsThemCached) {
  open(4);
  auto a = makeTile(1, 1, 3, 1), b = makeTile(2, 1, 3, 2);
  b->SetModified(false);
  cache->SetTile(1, 1, 3, a);
  cache->SetTile(2, 1, 3, b);
  cache->call("saveCache", nullptr);
  EXPECT_EQ(store->writes, (std::vector<MemoryStore::Key>{{1, 1, 3}}));
  EXPECT_FALSE(a->IsModified());
  EXPECT_EQ(cache->size(), 2u);
  cache.reset();  // nothing is modified any more
  EXPECT_EQ(store->writes.size(), 1u);
}

TEST_F(CacheFixture, FailedWriteBacksAreLoggedWithTheKeyCountedAndReported) {
  store_test::LogCapture log;
  open(1);
  store->mode = MemoryStore::Mode::Refuse;
  auto a = makeTile(4, 5, 6, 1);
  cache->SetTile(4, 5, 6, a);
  cache->call("saveCache", nullptr);
  EXPECT_TRUE(a->IsModified()) << "a refused tile keeps its mark for a later try";
  store->mode = MemoryStore::Mode::Throw;         // a folder that cannot be created
  cache->SetTile(7, 5, 6, makeTile(7, 5, 6, 2));  // evicts a: the store throws
  EXPECT_EQ(cache->writeBackFailures(), 2u);
  EXPECT_EQ(log.count("write-back of tile x,y,z 4,5,6 failed", fw::kLogError), 2u);
  EXPECT_EQ(log.count("cannot create folder", fw::kLogError), 1u);
  cache.reset();
  EXPECT_EQ(log.count("3 modified tiles could not be written", fw::kLogError), 1u);
}

TEST_F(CacheFixture, CheckTileComparesTimeStampsAndRewritesCachedTiles) {
  store->tiles[{1, 1, 3}] = makeTile(1, 1, 3, 1, store_test::Weight::Full, 50.0);
  open(4);
  EXPECT_EQ(cache->CheckTile(1, 1, 3, 60.0), 0.0);  // loads and caches it
  EXPECT_TRUE(store->writes.empty());
  EXPECT_EQ(cache->CheckTile(1, 1, 3, 40.0), 50.0);  // cached now: written
  EXPECT_EQ(store->writes.size(), 1u);
  EXPECT_EQ(cache->CheckTile(9, 9, 3, 0.0), 0.0);  // not stored: nothing cached
  EXPECT_EQ(cache->size(), 1u);

  double args[4] = {1.9, 1.2, 3.0, 10.0};  // coordinates are truncated
  cache->call("check_tile", args);
  EXPECT_EQ(args[3], 50.0);
  cache->call("check_tile", nullptr);
}

TEST_F(CacheFixture, AgeEvictionStopsAtTheFirstRecentTileFromTheBack) {
  open(8);
  cache->SetTile(1, 0, 3, makeTile(1, 0, 3, 1, store_test::Weight::Full, 10.0));
  cache->SetTile(2, 0, 3, makeTile(2, 0, 3, 2, store_test::Weight::Full, 30.0));
  cache->GetTile(3, 0, 3);  // a null entry
  cache->SetTile(4, 0, 3, makeTile(4, 0, 3, 3, store_test::Weight::Full, 10.0));
  // From the back: 1 (old), 2 (recent) stops the walk.
  EXPECT_EQ(cache->releaseTilesOlderThan(20.0), std::make_pair(1u, 3u));
  EXPECT_EQ(store->writes, (std::vector<MemoryStore::Key>{{1, 0, 3}}));
  EXPECT_EQ(cache->releaseTilesOlderThan(100.0), std::make_pair(3u, 0u));
  EXPECT_EQ(store->writes.size(), 3u);
  // Another store kind than MBTiles: the batched variant writes tile by tile.
  cache->SetTile(5, 0, 3, makeTile(5, 0, 3, 4, store_test::Weight::Full, 1.0));
  EXPECT_EQ(cache->flushTilesOlderThanToMbtiles(2.0), std::make_pair(1u, 0u));
  EXPECT_EQ(store->writes.size(), 4u);
}

TEST_F(CacheFixture, CommandsAndExportByExtension) {
  open(4);
  std::string path = "mosaic.jpg";
  cache->call("Export", &path);  // level 0: refused
  EXPECT_EQ(path, "mosaic.jpg");
  fw::TileRange r;
  r.level = 3;
  cache->SetRange(r);
  store_test::LogCapture log;
  EXPECT_FALSE(cache->Export("mosaic.jpg"));
  EXPECT_EQ(log.count("Do not support extension jpg", fw::kLogError), 1u);
  EXPECT_FALSE(cache->Export("no_extension"));
  path = "out.tif";
  cache->call("Export", &path);
  EXPECT_EQ(path, "");
  cache->call("Export", nullptr);
  cache->call("flush", nullptr);
  EXPECT_EQ(store->commands, std::vector<std::string>{"flush"});
}

TEST_F(CacheFixture, ConstructionSharesTheProjectionAndRangeWithTheStore) {
  fw::TileRange r;
  r.level = 7;
  store->SetRange(r);
  auto projection =
      std::make_shared<fw::GCJ02Projection>(-85.05112878, 85.05112878, -177.0, 177.0, 256, 256);
  cache = std::make_unique<TileManagerCachedGDAL>(projection, store, 4);
  EXPECT_EQ(store->GetProjection(), projection);
  EXPECT_EQ(cache->GetProjection(), projection);
  EXPECT_EQ(cache->GetLevel(), 7u);
}

}  // namespace
