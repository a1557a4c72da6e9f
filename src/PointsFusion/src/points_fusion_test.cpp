// The back-end node without real images: configuration into the store, the stop, the frame
// handler's products when terrain fusion or the tiles folder is missing, its progress stage,
// and frames and maps from two threads.
#include "points_fusion.h"
#include "frame_handler.h"
#include "terrain_fusion_double_for_tests.h"

#include "chain/chain_factories.h"
#include "chain/progress_entry.h"
#include "framework/captured_log_for_tests.h"
#include "framework/config_store.h"
#include "framework/located_frame_for_tests.h"
#include "framework/messenger.h"
#include "framework/slam.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>

namespace {

using fwtest::CapturedLog;

using fwtest::ListedMap;

// A located frame without an image: the depth stage takes it and makes no depth from it.
std::shared_ptr<fw::MapFrame> bareFrame(uint64_t id) {
  fwtest::LocatedFrameSpec spec;
  spec.id = id;
  return fwtest::makeLocatedFrame(spec, {});
}

std::vector<std::shared_ptr<fw::MapFrame>> bareFrames(uint64_t first, uint64_t count) {
  std::vector<std::shared_ptr<fw::MapFrame>> frames;
  for (uint64_t id = first; id < first + count; ++id) frames.push_back(bareFrame(id));
  return frames;
}

std::shared_ptr<zel::OutputItem> recordOf(const zel::Node& node) {
  std::shared_ptr<zel::OutputItem> found;
  node.visitOutputs([&found](const std::shared_ptr<zel::OutputItem>& r) { found = r; });
  return found;
}

TEST(PointsFusion, SpecificSettingsGoIntoTheStoreAndBadTextIsRefused) {
  PointsFusion fusion(R"({"specific": {"pftest": {"flag": true, "name": "x"}, "pftest.count": 3}})",
                      nullptr);
  EXPECT_EQ(*fw::Var::instance().GetInt("pftest.flag", 0), 1);
  EXPECT_EQ(*fw::Var::instance().GetInt("pftest.count", 0), 3);
  EXPECT_EQ(*fw::Var::instance().GetString("pftest.name", ""), "x");
  EXPECT_EQ(fusion.type(), "PointsFusion");
  EXPECT_THROW(createPointsFusionInstance("{not json", nullptr, nullptr, nullptr), std::exception);
}

TEST(PointsFusion, AfterTheStopNothingReachesAFrameHandler) {
  terrain_double::reset();
  PointsFusion fusion(R"({"legacy_tf": {}})", nullptr);
  EXPECT_FALSE(fusion.fuseFrame(nullptr));
  fw::Messenger::instance().publish("sbt.input.stop", true);
  EXPECT_FALSE(fusion.fuseFrame(bareFrame(1)));
  EXPECT_TRUE(fusion.fuseMap(std::make_shared<ListedMap>(bareFrames(2, 3))));
  fw::Messenger::instance().publish("sdk.fr2fuse", bareFrame(5));
  EXPECT_TRUE(terrain_double::configurations().empty()) << "no handler was built";
}

TEST(PointsFusion, MissingTerrainFusionLeavesThePointCloud) {
  for (auto mode : {terrain_double::Mode::kNoNode, terrain_double::Mode::kThrows}) {
    terrain_double::reset(mode);
    vmtest::TempDir home;
    CapturedLog log;
    zel::Chain mapper("Mapper", nullptr);
    {
      PointsFusion fusion(nlohmann::json{{"legacy_tf", nlohmann::json::object()},
                                         {"tiling", {{"location", (home / "dense").string()}}}}
                              .dump(),
                          &mapper);
      for (const auto& frame : bareFrames(1, 3)) EXPECT_TRUE(fusion.fuseFrame(frame));
    }
    EXPECT_EQ(log.count(fw::kLogError, {"cant find library terrainfusion"}), 1);
    EXPECT_EQ(terrain_double::configurations().size(), 1u) << "asked once per frame handler";
    ASSERT_TRUE(recordOf(mapper));
    EXPECT_EQ(recordOf(mapper)->id, "pointcloud_01");
  }
}

TEST(PointsFusion, UncreatableTilesFolderLeavesTerrainFusion) {
  terrain_double::reset();
  vmtest::TempDir home;
  std::ofstream(home / "taken") << "x";
  CapturedLog log;
  zel::Chain mapper("Mapper", nullptr);
  {
    PointsFusion fusion(nlohmann::json{{"legacy_tf", nlohmann::json::object()},
                                       {"tiling", {{"location", (home / "taken").string()}}}}
                            .dump(),
                        &mapper);
    EXPECT_TRUE(fusion.fuseFrame(bareFrame(1)));
  }
  EXPECT_EQ(log.count(fw::kLogError, {"Failed to create directory: " + (home / "taken").string()}),
            1);
  // The point cloud the task asked for is reported failed; terrain fusion goes on.
  ASSERT_TRUE(recordOf(mapper));
  EXPECT_EQ(recordOf(mapper)->id, "pointcloud_01");
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputFailed);
  EXPECT_EQ(terrain_double::configurations().size(), 1u);
}

TEST(PointsFusion, MapFusionStageCountsFramesUpToTheAnnouncedTotal) {
  terrain_double::reset();
  zel::Chain mapper("Mapper", nullptr);
  mapper.setProgressEntry(taskProgressModel());
  {
    PointsFusion fusion("{}", &mapper);
    fusion.setExpectedFrames(3);
    for (const auto& frame : bareFrames(1, 5)) fusion.fuseFrame(frame);
    const ProgressEntry stage = mapper.progressEntry().children.at(1);
    EXPECT_EQ(stage.name, "Map Fusion");
    EXPECT_EQ(stage.progress, 3.0) << "never above the total";
    EXPECT_EQ(stage.total, 3.0);
    EXPECT_NEAR(mapper.progressEntry().progress, 0.3, 1e-6);  // weights are floats
  }
  // Without a count and without a map there is no stage to report into.
  zel::Chain other("Mapper", nullptr);
  other.setProgressEntry(taskProgressModel());
  {
    PointsFusion fusion("{}", &other);
    for (const auto& frame : bareFrames(1, 2)) fusion.fuseFrame(frame);
  }
  EXPECT_EQ(other.progressEntry().progress, 0.0);
}

TEST(PointsFusion, ScaleSettingOfTheFrameHandler) {
  const std::pair<const char*, float> cases[] = {{R"({"scale": 2})", 2.0f},
                                                 {R"({"scale": 0})", 4.0f},
                                                 {R"({"scale": -1.5})", 4.0f},
                                                 {R"({"scale": "8"})", 4.0f},
                                                 {R"({})", 4.0f}};
  for (const auto& [text, scale] : cases) {
    nlohmann::json config = nlohmann::json::parse(text);
    zel::Chain mapper("Mapper", nullptr);
    FrameHandler handler(&config, &mapper, -1, true);
    EXPECT_EQ(handler.scale(), scale) << text;
  }
}

TEST(PointsFusion, FramesAndMapsFromTwoThreads) {
  terrain_double::reset();
  vmtest::TempDir home;
  zel::Chain mapper("Mapper", nullptr);
  mapper.setProgressEntry(taskProgressModel());
  {
    PointsFusion fusion(nlohmann::json{{"legacy_tf", nlohmann::json::object()},
                                       {"tiling", {{"location", (home / "dense").string()}}}}
                            .dump(),
                        &mapper);
    std::thread maps([&fusion] {
      for (uint64_t m = 0; m < 4; ++m)
        fusion.fuseMap(std::make_shared<ListedMap>(bareFrames(100 + 10 * m, 3)));
    });
    for (const auto& frame : bareFrames(1, 12)) fusion.fuseFrame(frame);
    maps.join();
  }
  EXPECT_EQ(terrain_double::configurations().size(), 1u) << "one frame handler";
}

}  // namespace
