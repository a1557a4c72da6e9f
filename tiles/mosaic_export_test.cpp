#include "framework/config_store.h"
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <limits>

namespace {

using store_test::makeTile;

// A store in memory that can cancel the export after a number of reads, as another thread
// would by writing a negative progress.
class MosaicSource : public fw::TileManager {
 public:
  std::shared_ptr<fw::TileBase> GetTile(int32_t x, int32_t y, int32_t z) override {
    if (++reads == cancelAfter) *progress = -1.0;
    auto it = tiles.find({x, y, z});
    return it == tiles.end() ? nullptr : it->second;
  }
  std::map<std::tuple<int32_t, int32_t, int32_t>, std::shared_ptr<fw::TileBase>> tiles;
  int reads = 0;
  int cancelAfter = -1;
  double* progress = nullptr;  // the export's progress variable
};

struct MosaicFixture : ::testing::Test {
  vmtest::TempDir dir;
  std::shared_ptr<MosaicSource> source = std::make_shared<MosaicSource>();
  // Tiles (10..12, 20..21) at zoom 6 but (11, 21) missing, through a cache of 2.
  std::unique_ptr<TileManagerCachedGDAL> cache;
  double progress = 0.0;
  void SetUp() override {
    fw::TileRange r;
    r.level = 6;
    source->SetRange(r);
    cache =
        std::make_unique<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(), source, 2);
    cache->setExportProgress(&progress);
    source->progress = &progress;
    for (int y = 20; y <= 21; ++y) {
      for (int x = 10; x <= 12; ++x) {
        auto tile = makeTile(x, y, 6, x * 100 + y);
        tile->SetModified(false);
        cache->SetTile(x, y, 6, tile);  // widens the range
        if (!(x == 11 && y == 21)) source->tiles[{x, y, 6}] = tile;
      }
    }
    cache->releaseTilesOlderThan(1e9);  // the mosaic comes from the store
    source->tiles.erase({11, 21, 6});
  }
  cv::Mat tileImage(int x, int y) { return cv::Mat(makeTile(x, y, 6, x * 100 + y)->GetImage()); }
};

TEST_F(MosaicFixture, AssemblesTheCurrentRangeWithBlackHoles) {
  const std::string path = (dir / "m.png").string();
  std::string command = path;
  cache->call("Export", &command);
  EXPECT_EQ(command, "");
  const cv::Mat mosaic = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mosaic.size(), cv::Size(3 * 256, 2 * 256));
  for (int y = 20; y <= 21; ++y) {
    for (int x = 10; x <= 12; ++x) {
      const cv::Mat block = mosaic(cv::Rect((x - 10) * 256, (y - 20) * 256, 256, 256));
      const cv::Mat want =
          (x == 11 && y == 21) ? cv::Mat::zeros(256, 256, CV_8UC3) : tileImage(x, y);
      EXPECT_EQ(cv::norm(block, want, cv::NORM_INF), 0.0) << x << "," << y;
    }
  }
  EXPECT_NEAR(progress, 5.0 / 6.0, 1e-12);
}

TEST_F(MosaicFixture, CancelStopsAfterTheCurrentTileAndWritesThePartSoFar) {
  source->cancelAfter = 2;
  const std::string path = (dir / "m.png").string();
  EXPECT_TRUE(cache->ExportMosaic(path));
  const cv::Mat mosaic = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mosaic.size(), cv::Size(3 * 256, 2 * 256));
  EXPECT_EQ(cv::norm(mosaic(cv::Rect(256, 0, 256, 256)), tileImage(11, 20), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::countNonZero(mosaic(cv::Rect(512, 0, 256, 512)).reshape(1)), 0);
  EXPECT_EQ(source->reads, 2);
}

TEST(MosaicExport, MemoryBoundEmptyRangeAndOtherExtensions) {
  vmtest::TempDir dir;
  double progress = 0.0;
  TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), nullptr, 4);
  cache.setExportProgress(&progress);
  fw::TileRange r;
  r.level = 12;
  cache.SetRange(r);
  EXPECT_FALSE(cache.ExportMosaic((dir / "empty.png").string()))
      << "the empty box assembles nothing";
  // 64 x 64 tiles fit the default bound of 1 GiB: the export walks them all (and, with no
  // tile there, writes nothing); 4097 tiles are refused before the walk.
  r.minX = r.minY = 0;
  r.maxX = r.maxY = 63;
  cache.SetRange(r);
  EXPECT_FALSE(cache.ExportMosaic((dir / "a.png").string()));
  EXPECT_DOUBLE_EQ(progress, 4095.0 / 4096.0);
  r.maxY = 0;
  r.maxX = 4096;
  cache.SetRange(r);
  progress = 0.5;
  EXPECT_FALSE(cache.ExportMosaic((dir / "b.png").string()));
  EXPECT_EQ(progress, 0.5);
  // A range over every coordinate holds 2^64 tiles, more than a 64-bit count can hold:
  // it is refused too, rather than wrapping round to a small count and walking for ever.
  r.minX = r.minY = std::numeric_limits<int32_t>::min();
  r.maxX = r.maxY = std::numeric_limits<int32_t>::max();
  cache.SetRange(r);
  EXPECT_FALSE(cache.ExportMosaic((dir / "c.png").string()));
  EXPECT_EQ(progress, 0.5);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.png"));
  EXPECT_TRUE(cache.Export((dir / "d.tif").string()));
  EXPECT_FALSE(std::filesystem::exists(dir / "d.tif"));
}

TEST(MosaicExport, ReportsInItsOwnVariableUntilItsOwnerNamesOne) {
  vmtest::TempDir dir;
  double& shared = *fw::Var::instance().GetDouble("MosaicExportTest.Progress", 0.0);
  shared = 0.25;
  TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), nullptr, 4);
  fw::TileRange r;
  r.level = 12;
  r.minX = r.minY = 0;
  r.maxX = r.maxY = 1;
  cache.SetRange(r);
  EXPECT_FALSE(cache.ExportMosaic((dir / "a.png").string()));  // no tile there
  EXPECT_EQ(shared, 0.25) << "nobody else's variable is touched";
  cache.setExportProgress(&shared);
  EXPECT_FALSE(cache.ExportMosaic((dir / "b.png").string()));
  EXPECT_DOUBLE_EQ(shared, 3.0 / 4.0);
  shared = 0.0;
}

}  // namespace
