#include "src/TerrainFusion/src/terrain_options.h"

#include "framework/config_loading.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

// The options of a node whose configuration has this "specific" object.
TerrainOptions optionsOf(const json& specific) {
  fw::Var store;
  fw::loadConfigIntoVar(specific, store, "");
  return TerrainOptions::fromStore(store);
}

TEST(TerrainOptions, EveryKeyIsReadFromTheNodesStoreAndMissingOnesTakeTheirDefaults) {
  const TerrainOptions defaults = optionsOf(json::object());
  EXPECT_EQ(defaults.renderMode, TerrainOptions::kRenderBlendTiles);
  EXPECT_EQ(defaults.renderZooms, kDefaultRenderZooms);
  EXPECT_EQ(defaults.coordinate, "GPS");
  EXPECT_EQ(defaults.cacheSize, TerrainOptions::kDefaultCacheSize);
  EXPECT_EQ(defaults.workers, terrain_memory::defaultWorkers());
  EXPECT_EQ(defaults.autoZoom, 0);
  EXPECT_EQ(defaults.fakeOrigin, "");
  EXPECT_EQ(defaults.fakeHeight, 200.0);
  EXPECT_EQ(defaults.imagePath, "");

  // Flat and nested keys alike, numbers given as text read as numbers.
  const TerrainOptions given =
      optionsOf({{"terrainfusion",
                  {{"threads", 3}, {"render_mode", 2}, {"render_zooms", 4}, {"coordinate", "GCJ"}}},
                 {"terrainfusion.cache_size", "64"},
                 {"terrainfusion.auto_zoom", 1},
                 {"terrainfusion.fake_origin", "114.36 30.52 35"},
                 {"terrainfusion.fake_height", "150.5"},
                 {"imagepath", "/images"}});
  EXPECT_EQ(given.workers, 3);
  EXPECT_EQ(given.renderMode, TerrainOptions::kRenderStitchDsm);
  EXPECT_EQ(given.renderZooms, 4);
  EXPECT_EQ(given.coordinate, "GCJ");
  EXPECT_EQ(given.cacheSize, 64);
  EXPECT_EQ(given.autoZoom, 1);
  EXPECT_EQ(given.fakeOrigin, "114.36 30.52 35");
  EXPECT_EQ(given.fakeHeight, 150.5);
  EXPECT_EQ(given.imagePath, "/images");
}

TEST(TerrainOptions, ValuesNoNodeCanUseAreMendedAsTheNodeAlwaysHas) {
  store_test::LogCapture log;
  EXPECT_EQ(optionsOf({{"terrainfusion.threads", 0}}).workers, 1);
  EXPECT_EQ(optionsOf({{"terrainfusion.threads", -4}}).workers, 1);
  EXPECT_EQ(optionsOf({{"terrainfusion.cache_size", 0}}).cacheSize,
            TerrainOptions::kDefaultCacheSize);
  EXPECT_EQ(log.count("terrainfusion.cache_size 0 is below 1", fw::kLogWarning), 1u);
  EXPECT_EQ(optionsOf({{"terrainfusion.render_zooms", 0}}).renderZooms, 1);
  EXPECT_EQ(optionsOf({{"terrainfusion.render_zooms", 40}}).renderZooms, kMaxRenderZooms);
  // A render mode the node has no tiling for is kept: such a node places frames, tiles none.
  EXPECT_EQ(optionsOf({{"terrainfusion.render_mode", 1}}).renderMode, 1);
}

TEST(TerrainOptions, CheckRefusesUnusableValuesNamingTheKey) {
  EXPECT_NO_THROW(TerrainOptions().check());
  const std::vector<std::pair<std::string, void (*)(TerrainOptions&)>> unusable = {
      {"terrainfusion.threads", [](TerrainOptions& o) { o.workers = 0; }},
      {"terrainfusion.cache_size", [](TerrainOptions& o) { o.cacheSize = 0; }},
      {"terrainfusion.render_zooms", [](TerrainOptions& o) { o.renderZooms = 0; }},
      {"terrainfusion.render_zooms",
       [](TerrainOptions& o) { o.renderZooms = kMaxRenderZooms + 1; }}};
  for (const auto& [key, spoil] : unusable) {
    TerrainOptions o;
    spoil(o);
    try {
      o.check();
      ADD_FAILURE() << key << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
    }
  }
}

// The cache keeps one frame end time per worker, however the node's first input came: the
// trimming and the pool read the same count.
TEST(TerrainOptions, TheCacheTrimmingKeepsOneEndTimePerWorker) {
  vmtest::TempDir dir;
  for (const int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    const json specific =
        threads > 0 ? json{{"specific", {{"terrainfusion.threads", threads}}}} : json::object();
    auto node = tftest::makeNode(dir.path() / std::to_string(threads), specific);
    ASSERT_TRUE(node->ready());
    const int workers = threads > 0 ? threads : terrain_memory::defaultWorkers();
    EXPECT_EQ(node->options().workers, workers);
    store_test::LogCapture log;
    for (int i = 0; i < workers; ++i) node->trimTileCache(100.0 + i);
    EXPECT_EQ(log.count("Remove cache num: "), 0u);
    node->trimTileCache(200.0);
    EXPECT_EQ(log.count("Remove cache num: "), 1u);
  }
}

}  // namespace
