#include "chain/chain_factories.h"
#include "framework/run_tally.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "src/TerrainFusion/src/tf_tileset.h"
#include "testsupport/temp_dir.h"
#include "tiles/mbtiles_test_support.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<std::shared_ptr<zel::Tileset>> recordsOf(const zel::Node& node) {
  std::vector<std::shared_ptr<zel::Tileset>> records;
  node.visitOutputs([&](const std::shared_ptr<zel::OutputItem>& r) {
    auto tileset = std::dynamic_pointer_cast<zel::Tileset>(r->clone());
    if (tileset) records.push_back(tileset);
  });
  return records;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

json storage(int mode) { return {{"dom", {{"tiling", {{"storage", mode}}}}}}; }

TEST(TerrainNodeSetUp, FileStoreKeepsFlushedTiles) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path());
  ASSERT_TRUE(node->ready());
  const auto records = recordsOf(*node);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->id, "dom_01");
  EXPECT_EQ(records[0]->location, (dir.path() / "tiles" / "dom").string());
  EXPECT_EQ(records[1]->id, "dsm_01");
  EXPECT_EQ(records[1]->tile_format, "tiff");
  EXPECT_EQ(records[0]->storage_type, 1);

  const auto tile = store_test::makeTile(5, 7, 20, 3);
  node->tileManager()->SetTile(5, 7, 20, tile);
  node->call("flush_tile_cache", nullptr);
  TileManagerFileSystemMultiFile<TerrainFusionMultiTile> files(
      (dir.path() / "tiles").string(), records[0]->location, records[1]->location);
  const auto stored = files.GetTile(5, 7, 20);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(store_test::sameTile(*stored, *tile));

  // A tile that cannot be written at the end fails both products.
  zel::Chain parent("parent", nullptr);
  store_test::LogCapture log;
  auto failing = tftest::makeNode(dir.path() / "failing", json::object(), &parent);
  failing->tileManager()->SetTile(5, 7, 20, store_test::makeTile(5, 7, 20, 4));
  const fs::path dom = dir.path() / "failing" / "tiles" / "dom";
  fs::remove_all(dom);
  std::ofstream(dom) << "a file where the folder was";
  failing.reset();
  EXPECT_EQ(log.count("1 tiles could not be written", fw::kLogError), 1u);
  const auto failed = recordsOf(parent);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0]->state, zel::kOutputFailed);
}

TEST(TerrainNodeSetUp, MbtilesStoreKeepsFlushedTiles) {
  vmtest::TempDir dir;
  json config = storage(2);
  config.merge_patch(
      {{"zoom_level", 20}, {"fetch_gps", true}, {"specific", {{"terrainfusion.render_zooms", 3}}}});
  auto node = tftest::makeNode(dir.path(), config);
  ASSERT_TRUE(node->ready());
  EXPECT_EQ(recordsOf(*node)[1]->storage_type, 2);
  const fs::path tiles = dir.path() / "tiles";
  for (const fs::path& db :
       {tiles / "dom" / "dom.mbtiles", tiles / "dsm" / "dsm.mbtiles", tiles / "tile.db"}) {
    EXPECT_EQ(mbtiles_test::integrity(db.string()), "ok") << db;
  }
  node->tileManager()->SetTile(5, 7, 20, store_test::makeTile(5, 7, 20, 3));
  node->call("flush_tile_cache", nullptr);
  const auto rows = mbtiles_test::query((tiles / "dom" / "dom.mbtiles").string(),
                                        "SELECT zoom_level, tile_column, tile_row FROM tiles");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1], "5");
  EXPECT_EQ(rows[0][2], std::to_string((1 << 20) - 1 - 7));
  // The metadata names the zooms written: 20 and the two below it.
  node.reset();
  for (const char* db : {"dom", "dsm"}) {
    const auto zooms = mbtiles_test::query(
        (tiles / db / (std::string(db) + ".mbtiles")).string(),
        "SELECT name, value FROM metadata WHERE name IN ('minzoom', 'maxzoom') ORDER BY name");
    EXPECT_EQ(zooms, (std::vector<std::vector<std::string>>{{"maxzoom", "20"}, {"minzoom", "18"}}))
        << db;
  }
}

// A node whose store cannot be used reports both products failed and refuses its input.
TEST(TerrainNodeSetUp, UnusableStoreFailsRecordsAndRefusesInput) {
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing dom.mbtiles" : "storage 3");
    vmtest::TempDir dir;
    const fs::path old = dir.path() / "tiles" / "dom" / "dom.mbtiles";
    if (existing) {
      fs::create_directories(old.parent_path());
      std::ofstream(old, std::ios::binary) << "earlier product";
    }
    store_test::LogCapture log;
    zel::Chain parent("parent", nullptr);
    auto node = tftest::makeNode(dir.path(), storage(existing ? 2 : 3), &parent);
    EXPECT_FALSE(node->ready());
    EXPECT_FALSE(node->tileManager());
    EXPECT_EQ(
        log.count("TerrainFusion::TerrainFusion: failed to set up tile manager", fw::kLogError),
        1u);
    const auto records = recordsOf(parent);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->state, zel::kOutputFailed);
    EXPECT_EQ(records[1]->state, zel::kOutputFailed);
    EXPECT_EQ(records[0]->storage_type, existing ? 2 : 3);

    tftest::FrameRequest request;
    request.folder = dir.path();
    request.camera = flight::PinholeCamera{64, 48, 54, 54, 31.5, 23.5};
    const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
    frame.frame->setImage(fw::GImage(cv::Mat(48, 64, CV_8UC3, cv::Scalar(1, 2, 3))), 0);
    const size_t before = log.errors();
    sv::Var message({sv::Var(frame.frame), sv::Var(frame.points)});
    node->call("point_cloud", &message);
    node->call("point_cloud", &message);
    EXPECT_EQ(log.errors(), before + 1);
    EXPECT_EQ(frame.frame->getImage().data, nullptr);
    EXPECT_FALSE(node->fuseFrame(frame.frame));
    node.reset();
    EXPECT_EQ(log.count("refused 3 inputs", fw::kLogError), 1u);
    if (existing) {
      EXPECT_EQ(bytesOf(old), "earlier product");
    }
  }
}

TEST(TerrainNodeSetUp, ConfigurationNumbers) {
  vmtest::TempDir dir;
  const auto zoomOf = [&](const json& extra) {
    return tftest::makeNode(dir.path() / "n", extra)->zoomLevel();
  };
  EXPECT_EQ(zoomOf({{"zoom_level", 20}, {"fetch_gps", true}, {"dom", {{"scale", 2.0}}}}), 19);
  EXPECT_EQ(zoomOf({{"zoom_level", 30}, {"fetch_gps", true}}), 26);
  EXPECT_EQ(zoomOf({{"zoom_level", 20}, {"fetch_gps", true}, {"dom", {{"scale", -4.0}}}}), 20);
  EXPECT_EQ(zoomOf({{"zoom_level", 20}, {"fetch_gps", true}, {"dom", {{"max_zoom_level", -3}}}}),
            0);
  EXPECT_EQ(zoomOf({{"zoom_level", 20}}), 0);
  EXPECT_EQ(zoomOf({{"specific", {{"zoom_level", 20}, {"fetch_gps", true}}}}), 0);
  auto given = tftest::makeNode(dir.path() / "n", {{"zoom_level", 18}, {"fetch_gps", false}});
  EXPECT_EQ(given->tileManager()->GetLevel(), 18u);

  const auto projectionOf = [&](const std::string& coordinate) {
    return tftest::makeNode(dir.path() / "p",
                            {{"specific", {{"terrainfusion.coordinate", coordinate}}}})
        ->projection()
        ->projectionName();
  };
  EXPECT_EQ(projectionOf("gcj"), "MercatorProjection");
  EXPECT_EQ(projectionOf("GCJ"), "GCJ02Projection");
  EXPECT_EQ(projectionOf("BAIDU"), "BaiduProjection");

  // "specific" reaches the node's own store: nested keys joined by dots, booleans as 1 or 0.
  auto specific = tftest::makeNode(
      dir.path() / "s", {{"specific", {{"terrainfusion", {{"render_mode", 1}}}, {"flag", true}}}});
  EXPECT_EQ(*specific->settings().GetInt("terrainfusion.render_mode", 3), 1);
  EXPECT_EQ(*specific->settings().GetString("flag", ""), "1");
  EXPECT_EQ(*fw::Var::instance().GetString("flag", "process"), "process");

  // A cache size below 1 takes the default capacity of 1000 tiles.
  auto small =
      tftest::makeNode(dir.path() / "c", {{"specific", {{"terrainfusion.cache_size", 0}}}});
  auto cache = std::dynamic_pointer_cast<fw::TileManagerCached>(small->tileManager());
  ASSERT_TRUE(cache);
  for (int i = 0; i < 1001; ++i)
    cache->SetTile(i, 0, 10, std::make_shared<TerrainFusionMultiTile>());
  EXPECT_EQ(cache->size(), 1000u);
}

// The node's cache reports a mosaic export in the process-wide variable, through which
// another thread watches and cancels it.
TEST(TerrainNodeSettings, MosaicExportReportsInTheProcessWideVariable) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path() / "e");
  auto cache = std::dynamic_pointer_cast<TileManagerCachedGDAL>(node->tileManager());
  ASSERT_TRUE(cache);
  fw::TileRange r;
  r.level = 12;
  r.minX = r.minY = 0;
  r.maxX = r.maxY = 1;
  cache->SetRange(r);
  double& progress = *fw::Var::instance().GetDouble("TerrainFusion.ExportProgress", 0.0);
  progress = 0.5;
  EXPECT_FALSE(cache->ExportMosaic((dir.path() / "m.png").string()));  // no tile there
  EXPECT_DOUBLE_EQ(progress, 3.0 / 4.0);
  progress = 0.0;
}

TEST(TerrainNodeCall, CommandsNeverThrow) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  std::shared_ptr<fw::MapFusion> base;
  createTerrainFusionInstance(
      base,
      json({{"work_dir", dir.path().string()}, {"dom", json::object()}, {"dsm", json::object()}})
          .dump(),
      nullptr, nullptr, nullptr);
  auto node = std::dynamic_pointer_cast<TerrainFusion>(base);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->type(), "TerrainFusion");
  double progress = -1.0;
  node->call("TerrainFusion_Progress", &progress);
  EXPECT_EQ(progress, 0.0);

  node->call("point_cloud", nullptr);
  sv::Var number(5);
  node->call("point_cloud", &number);
  sv::Var wrong({sv::Var("frame"), sv::Var(1)});
  node->call("point_cloud", &wrong);
  node->call("point_cloud_with_dsmdom", &wrong);
  node->call("TerrainFusion_Progress", nullptr);
  node->call("no_such_command", nullptr);
  EXPECT_EQ(log.count("TerrainFusion::call: point_cloud failed", fw::kLogError), 3u);
  EXPECT_EQ(log.count("TerrainFusion::call: point_cloud_with_dsmdom failed", fw::kLogError), 1u);
  EXPECT_EQ(log.count("TerrainFusion::call: unknown command: no_such_command", fw::kLogError), 1u);

  // Without a work folder: no tile manager, no records, flushing does nothing.
  auto bare = std::make_shared<TerrainFusion>(json({{"dom", json::object()}}).dump(), nullptr);
  EXPECT_FALSE(bare->tileManager());
  EXPECT_TRUE(recordsOf(*bare).empty());
  bare->call("flush_tile_cache", nullptr);
  auto broken = std::make_shared<TerrainFusion>("{not json", nullptr);
  EXPECT_FALSE(broken->ready());
}

// A node whose settings cannot fit refuses everything from the start and says so in its
// records; a frame whose rasters would not fit a worker's share fails as short of memory.
TEST(TerrainMemory, TheNodeRefusesSettingsAndFramesThatCannotFit) {
  fw::RunTally::instance().reset();
  vmtest::TempDir work;
  zel::Chain root("root", nullptr);
  {
    auto node = tftest::makeNode(work.path(), {{"dom", {{"scale", 1e-6}}}}, &root);
    EXPECT_FALSE(node->ready());
    EXPECT_FALSE(node->tileManager());  // nothing made
    sv::Var message({sv::Var(tftest::placementFrame(0.0)),
                     sv::Var(std::vector<pi::Point3d>{pi::Point3d(1, 2, 3)})});
    node->call("point_cloud", &message);
  }
  int failed = 0;
  root.visitOutputs(
      [&](const std::shared_ptr<zel::OutputItem>& r) { failed += r->state == zel::kOutputFailed; });
  EXPECT_EQ(failed, 2);
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kTerrainFrames), 1);

  // 50 MB for one worker; ready rasters four zooms above the node's zoom would be 4096 pixels
  // square.
  fw::RunTally::instance().reset();
  vmtest::TempDir small;
  auto node = tftest::makeNode(small.path(), {{"specific",
                                               {{"terrainfusion.memory_budget_mb", 50},
                                                {"terrainfusion.threads", 1},
                                                {"terrainfusion.cache_size", 16}}}});
  ASSERT_TRUE(node->ready());
  const auto ready = [&](int offset) {
    return sv::Var({sv::Var(7u), sv::Var(pi::Point2ll(100, 200)), sv::Var(10), sv::Var(offset),
                    sv::Var(tftest::placementFrame(0.0)),
                    sv::Var(cv::Mat(64, 64, CV_32FC1, cv::Scalar(5.0f))),
                    sv::Var(cv::Mat(256, 256, CV_8UC1, cv::Scalar(90))),  // grey: taken as colour
                    sv::Var(cv::Mat(256, 256, CV_8UC1, cv::Scalar(100)))});
  };
  sv::Var fits = ready(0);
  node->call("point_cloud_with_dsmdom", &fits);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kTerrainFrames), 1);
  node.reset();
  // A second node: the zoom is fixed by the first ready rasters.
  vmtest::TempDir other;
  node = tftest::makeNode(other.path(), {{"specific",
                                          {{"terrainfusion.memory_budget_mb", 50},
                                           {"terrainfusion.threads", 1},
                                           {"terrainfusion.cache_size", 16}}}});
  sv::Var tooLarge = ready(4);
  node->call("point_cloud_with_dsmdom", &tooLarge);
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kTerrainFrames), 1);
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("insufficient memory"), std::string::npos) << summary;
}

}  // namespace
