#include "zel_mapper_impl.h"

#include "child_process_test_helper.h"
#include "located_frames.h"
#include "mapper_run_for_tests.h"
#include "run_outcome.h"
#include "test_chain_ends.h"

#include "framework/run_tally.h"
#include "framework/slam.h"
#include "src/utilities/src/test_images.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using nlohmann::json;
using vmtest::readFile;
using vmtest::runToEnd;

json chainItem(const std::string& name, const std::string& type, json config = json::object()) {
  return {{"name", name}, {"type", type}, {"config", std::move(config)}};
}

json standardChain(json frontConfig = json::object(), json backConfig = json::object()) {
  return json::array({chainItem("legacy_sfm", "front_end", std::move(frontConfig)),
                      chainItem("legacy_pf", "back_end", std::move(backConfig))});
}

json frameListTask(const vmtest::TempDir& dir, int frames, json chain = standardChain()) {
  auto list = vmtest::writeFrameList(dir.path(), frames, 48, 36);
  return {{"home", dir.path().string()},
          {"dataset", {{"form", "zel_frame"}, {"uri", list.string()}}},
          {"chain", std::move(chain)}};
}

json liveTask(const vmtest::TempDir& dir, json chain = standardChain()) {
  return {{"home", dir.path().string()},
          {"dataset", {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 3}}},
          {"chain", std::move(chain)}};
}

std::shared_ptr<VornMapper> mapperFor(const json& task) {
  return createVornMapper(task.dump(), nullptr);
}

// Polls the status like the entry point does, until a final state or the time limit.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

int stateOf(VornMapper& mapper) {
  MapperStatus status;
  mapper.getStatus(status);
  return status.state;
}

class MapperRun : public ::testing::Test {
 protected:
  void SetUp() override { resetChainEndsRecord(); }
  vmtest::TempDir dir;
};

TEST_F(MapperRun, SixFramesAreLocatedFusedAndFinished) {
  auto mapper = mapperFor(frameListTask(dir, 6));
  EXPECT_EQ(stateOf(*mapper), kMapperReady);
  ASSERT_TRUE(mapper->start());
  EXPECT_FALSE(mapper->start());  // the run thread is not replaced
  MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFinished);

  ChainEndsRecord record = chainEndsRecord();
  EXPECT_EQ(record.frontEndFrameCount, 6);
  EXPECT_EQ(record.backEndExpectedFrames, 6);
  EXPECT_EQ(record.framesAdded, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(record.framesHadImages, std::vector<bool>(6, true));
  for (const std::string& name : record.frameNames) {
    EXPECT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{32}"))) << name;
  }
  EXPECT_EQ(record.framesFused, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(record.mapsFused, (std::vector<int>{6}));
  EXPECT_TRUE(record.finishInputCalled);
  EXPECT_EQ(record.releaseOrder, (std::vector<std::string>{"front_end", "back_end"}));

  // The back end reports no stage of its own: locating everything shows 0.7 of the task while
  // it runs, and the finished task completes every stage.
  EXPECT_EQ(status.progress.progress, 1.0);
  ASSERT_EQ(status.progress.children.size(), 2u);
  for (const ProgressEntry& stage : status.progress.children)
    EXPECT_EQ(stage.progress, stage.total) << stage.name;
  // The back end's product is reported finished in the final status.
  ASSERT_EQ(status.outputs.size(), 1u);
  EXPECT_EQ(status.outputs[0]->id, "dense_points");
  EXPECT_EQ(status.outputs[0]->state, 12);
  EXPECT_FALSE(mapper->getStatus(status));
}

TEST_F(MapperRun, LocatingGoesOnWhileTheBackEndTakesAFrameAndFramesArriveInOrder) {
  // The back end takes frame 0 only after frames 1 and 2 were located: the front end must not
  // wait for the back end, and the back end still sees every frame in order, all before it
  // is released.
  json slowBackEnd = {{"hold_first_until_located", 3}};
  auto mapper = mapperFor(frameListTask(dir, 6, standardChain(json::object(), slowBackEnd)));
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  const ChainEndsRecord record = chainEndsRecord();
  EXPECT_FALSE(record.firstFuseHeldInVain);
  EXPECT_EQ(record.framesFused, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(record.mapsFused, (std::vector<int>{6}));
  EXPECT_EQ(record.releaseOrder, (std::vector<std::string>{"front_end", "back_end"}));
}

TEST_F(MapperRun, TaskLogRecordsTheRunAndEndsWithItsDuration) {
  json failingBackEnd = {{"throw_on_frame", true}, {"throw_on_map", true}};
  auto mapper = mapperFor(frameListTask(dir, 6, standardChain(json::object(), failingBackEnd)));
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  mapper.reset();

  std::vector<std::string> log = lines(readFile(dir / "log.txt"));
  ASSERT_GE(log.size(), 3u);
  const std::regex format(R"([IWEF]\d{4} \d{2}:\d{2}:\d{2} [ \d]{4}\d+\] .*)");
  for (const std::string& line : log) EXPECT_TRUE(std::regex_match(line, format)) << line;
  const std::string text = readFile(dir / "log.txt");
  // Failures of the back end are logged and the run goes on.
  EXPECT_NE(text.find("] Failed to feed frame to backend: frame rejected"), std::string::npos);
  EXPECT_NE(text.find("] Failed to feed map to backend: map rejected"), std::string::npos);
  EXPECT_NE(text.find("] both frontend and backend is reset."), std::string::npos);
  EXPECT_TRUE(
      std::regex_match(log.back(), std::regex(R"(I.*\] Task processed in [0-9.e-]+ seconds\.)")))
      << log.back();
  EXPECT_EQ(text.find("VornMapperImpl instance destroyed."), std::string::npos);
}

TEST_F(MapperRun, MissingAndCorruptImagesCostOnlyTheirFrames) {
  json task = frameListTask(dir, 8);
  std::filesystem::remove(dir / "frame_2.jpg");
  std::ofstream(dir / "frame_5.jpg", std::ios::trunc) << "not an image";
  auto mapper = mapperFor(task);
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  EXPECT_EQ(chainEndsRecord().framesAdded, (std::vector<std::uint64_t>{0, 1, 3, 4, 6, 7}));
  mapper.reset();
  const std::string log = readFile(dir / "log.txt");
  EXPECT_NE(log.find("Failed to open " + (dir / "frame_2.jpg").string()), std::string::npos);
  EXPECT_NE(log.find("Failed to decode image " + (dir / "frame_5.jpg").string()),
            std::string::npos);
}

TEST_F(MapperRun, AbortStopsAfterTheCurrentFrameWithoutFinishingInput) {
  auto mapper = mapperFor(frameListTask(dir, 12, standardChain({{"frame_delay_ms", 50}})));
  ASSERT_TRUE(mapper->start());
  while (chainEndsRecord().framesAdded.size() < 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  mapper->stop();
  EXPECT_EQ(runToEnd(*mapper).state, kMapperStopped);
  ChainEndsRecord record = chainEndsRecord();
  EXPECT_LT(record.framesAdded.size(), 12u);
  EXPECT_FALSE(record.finishInputCalled);
  EXPECT_EQ(record.releaseOrder, (std::vector<std::string>{"front_end", "back_end"}));
}

TEST_F(MapperRun, AFailingFrontEndFailsTheRunAndReleasesBothEnds) {
  auto mapper = mapperFor(frameListTask(dir, 6, standardChain({{"throw_on_add", true}})));
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFailed);
  EXPECT_EQ(chainEndsRecord().releaseOrder, (std::vector<std::string>{"front_end", "back_end"}));
  mapper.reset();
  const std::string log = readFile(dir / "log.txt");
  EXPECT_NE(log.find("front end cannot take frames"), std::string::npos);
  EXPECT_NE(log.find("Task processed in "), std::string::npos);
}

TEST_F(MapperRun, WithoutABackEndLocatedFramesAndMapsAreDropped) {
  json chain = json::array({chainItem("legacy_sfm", "front_end")});
  auto mapper = mapperFor(frameListTask(dir, 6, chain));
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  EXPECT_TRUE(chainEndsRecord().framesFused.empty());
  EXPECT_EQ(chainEndsRecord().framesAdded.size(), 6u);
}

TEST_F(MapperRun, LiveFramesRunUntilTheEmptyFrame) {
  auto image = vmtest::writeTestJpeg(dir / "live.jpg", 48, 36, 4);
  auto mapper = mapperFor(liveTask(dir));
  EXPECT_EQ(stateOf(*mapper), kMapperReady);
  ASSERT_TRUE(mapper->start());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(mapper->pushFrame(vmtest::frameDocument(image, 48, 36).dump()));
  }
  EXPECT_FALSE(mapper->pushFrame(json{{"uri", image.string()}}.dump()));
  EXPECT_TRUE(mapper->pushFrame(""));
  EXPECT_FALSE(mapper->pushFrame(vmtest::frameDocument(image, 48, 36).dump()));
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  ChainEndsRecord record = chainEndsRecord();
  EXPECT_EQ(record.frontEndFrameCount, 3);
  EXPECT_EQ(record.framesAdded, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_TRUE(record.finishInputCalled);
}

TEST_F(MapperRun, AbortWakesALiveRunWaitingForFrames) {
  auto mapper = mapperFor(liveTask(dir));
  ASSERT_TRUE(mapper->start());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  mapper->stop();
  EXPECT_EQ(runToEnd(*mapper, std::chrono::seconds(10)).state, kMapperStopped);
  EXPECT_FALSE(chainEndsRecord().finishInputCalled);
}

TEST_F(MapperRun, FrameListsRefusePushedFrames) {
  auto mapper = mapperFor(frameListTask(dir, 6));
  EXPECT_FALSE(mapper->pushFrame(""));
  EXPECT_FALSE(mapper->pushFrame(vmtest::frameDocument(dir / "frame_0.jpg", 48, 36).dump()));
}

TEST_F(MapperRun, CommandsWithArgumentsOfTheWrongKindAreIgnored) {
  auto mapper = mapperFor(frameListTask(dir, 6));
  ASSERT_TRUE(mapper->start());
  EXPECT_EQ(runToEnd(*mapper).state, kMapperFinished);
  resetChainEndsRecord();
  auto* impl = static_cast<VornMapperImpl*>(mapper.get());
  auto frame = std::make_shared<VornMapperFrame>(0, "x.jpg", 1.0, std::vector<double>{},
                                                 std::vector<double>{8, 8, 8, 8, 4, 4});
  impl->call("map_located", frame);
  impl->call("frame_located", std::make_shared<fw::Map>());
  impl->call("frame_located", nullptr);
  impl->call("restart", frame);
  EXPECT_TRUE(chainEndsRecord().framesFused.empty());
  EXPECT_TRUE(chainEndsRecord().mapsFused.empty());
}

// A back end that, like the real one, carries terrain fusion settings: the run must make
// DOM and DSM tiles.
json mapTilesChain(json backConfig = json::object()) {
  backConfig["legacy_tf"] = json::object();
  return standardChain(json::object(), std::move(backConfig));
}

using vmtest::contains;

TEST_F(MapperRun, ARunThatWritesNoMapTileFailsWithItsSummary) {
  auto mapper = mapperFor(frameListTask(dir, 6, mapTilesChain({{"tiles_per_frame", 0}})));
  ASSERT_TRUE(mapper->start());
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFailed);
  EXPECT_TRUE(contains(status.summary, "frames read 6, frames located 6")) << status.summary;
  EXPECT_TRUE(contains(status.summary, "DOM tiles 0, DSM tiles 0")) << status.summary;
  mapper.reset();
  const std::string log = readFile(dir / "log.txt");
  EXPECT_TRUE(contains(log, "] No DOM or DSM tile was written: " + status.summary + "\n")) << log;
  EXPECT_TRUE(contains(log, "] Run summary: " + status.summary + "\n")) << log;
  // The summary comes after the products are flushed: after the ends are released.
  EXPECT_LT(log.find("both frontend and backend is reset."), log.find("Run summary: "));
}

TEST_F(MapperRun, ARunThatWritesTilesFinishesWithWhatItMadeAndLost) {
  json task = frameListTask(dir, 8, mapTilesChain());
  std::filesystem::remove(dir / "frame_2.jpg");
  std::ofstream(dir / "frame_5.jpg", std::ios::trunc) << "not an image";
  auto mapper = mapperFor(task);
  ASSERT_TRUE(mapper->start());
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFinished);
  // Each frame counts once as located, though the front end also sends them all in a map.
  EXPECT_TRUE(contains(status.summary, "frames read 6, frames located 6")) << status.summary;
  EXPECT_TRUE(contains(status.summary, "DOM tiles 6, DSM tiles 6")) << status.summary;
  EXPECT_TRUE(
      contains(status.summary, "; frames read failed 2 (not an image 1, unreadable file 1)"))
      << status.summary;
  EXPECT_FALSE(contains(status.summary, "lost without a reason")) << status.summary;
  mapper.reset();
  EXPECT_TRUE(contains(readFile(dir / "log.txt"), "] Run summary: " + status.summary));
}

TEST_F(MapperRun, FramesThatNoStageCountedAreCountedAsLost) {
  auto mapper = mapperFor(frameListTask(dir, 6, mapTilesChain({{"uncounted_frames", 2}})));
  ASSERT_TRUE(mapper->start());
  const MapperStatus status = runToEnd(*mapper);
  // The tiles of the other frames were written: the run finishes, short of two frames.
  EXPECT_EQ(status.state, kMapperFinished);
  EXPECT_TRUE(contains(status.summary,
                       "frames in the DOM/DSM 4, DOM tiles 6, DSM tiles 6; frames in the DOM/DSM "
                       "failed 2 (lost without a reason 2)"))
      << status.summary;
  mapper.reset();
  EXPECT_TRUE(contains(readFile(dir / "log.txt"),
                       "Frames lost without a reason: 2 of the 6 frames located were neither "
                       "counted in \"frames in the DOM/DSM\" nor as failed there"));
}

TEST_F(MapperRun, AStoppedRunIsNotJudgedByWhatItMade) {
  auto mapper = mapperFor(
      frameListTask(dir, 12,
                    standardChain({{"frame_delay_ms", 50}},
                                  {{"legacy_tf", json::object()}, {"tiles_per_frame", 0}})));
  ASSERT_TRUE(mapper->start());
  while (chainEndsRecord().framesAdded.size() < 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  mapper->stop();
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperStopped);
  EXPECT_TRUE(contains(status.summary, "DOM tiles 0")) << status.summary;
}

TEST_F(MapperRun, WithoutMapTileSettingsOnlyTheProductsJudgeTheRun) {
  // The back end reports a product that nothing was ever written to: it ends failed, and so
  // does the run.
  auto mapper =
      mapperFor(frameListTask(dir, 6, standardChain(json::object(), {{"idle_record", true}})));
  ASSERT_TRUE(mapper->start());
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFailed);
  ASSERT_EQ(status.outputs.size(), 2u);
  for (const auto& record : status.outputs) {
    EXPECT_EQ(record->state,
              record->id == "idle_points" ? zel::kOutputFailed : zel::kOutputFinished)
        << record->id;
  }
  mapper.reset();
  EXPECT_TRUE(contains(readFile(dir / "log.txt"), "Products not written: idle_points"));
}

TEST(LocatedFrames, CountsEachFrameOnceIntoTheTally) {
  fw::RunTally::instance().reset();
  LocatedFrames located;
  EXPECT_EQ(located.note({0, 1}), 2);
  EXPECT_EQ(located.note({1, 2, 2}), 1);
  EXPECT_EQ(located.count(), 3);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kFramesLocated), 3);
  located.reset();
  EXPECT_EQ(located.note({1}), 1);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kFramesLocated), 4);
}

TEST(RunOutcome, MapTilesAreAskedForByTerrainSettingsAndShownByTallyOrRecords) {
  EXPECT_TRUE(chainMakesMapTiles(mapTilesChain()));
  EXPECT_FALSE(chainMakesMapTiles(standardChain()));
  EXPECT_FALSE(chainMakesMapTiles(
      json::array({chainItem("legacy_sfm", "front_end", {{"legacy_tf", json::object()}})})));
  EXPECT_FALSE(chainMakesMapTiles(json::object()));

  fw::RunTally tally;
  std::vector<std::shared_ptr<zel::OutputItem>> records;
  auto cloud = std::make_shared<zel::Tileset3D>();
  cloud->state = zel::kOutputFinished;
  records.push_back(cloud);
  auto dom = std::make_shared<zel::Tileset>();
  records.push_back(dom);
  EXPECT_FALSE(mapTilesWritten(tally, records));  // a point cloud is not a map tile
  dom->state = zel::kOutputFailed;
  EXPECT_FALSE(mapTilesWritten(tally, records));
  dom->state = zel::kOutputInProgress;
  EXPECT_TRUE(mapTilesWritten(tally, records));
  EXPECT_FALSE(mapTilesWritten(tally, {}));
  tally.add(fw::tally::kDsmTiles, 3);
  EXPECT_TRUE(mapTilesWritten(tally, {}));
}

class MapperRefusal : public ::testing::Test {
 protected:
  void SetUp() override { resetChainEndsRecord(); }

  // Creates the mapper, expects it to fail before or at start, and returns the task log.
  std::string refuse(const json& task, bool atStart) {
    auto mapper = mapperFor(task);
    if (atStart) {
      EXPECT_EQ(stateOf(*mapper), kMapperReady);
      EXPECT_FALSE(mapper->start());
    } else {
      EXPECT_FALSE(mapper->start());
    }
    EXPECT_EQ(stateOf(*mapper), kMapperFailed);
    mapper.reset();
    return readFile(dir / "log.txt");
  }

  vmtest::TempDir dir;
};

TEST_F(MapperRefusal, HomeFolderThatIsNotUsable) {
  json task = frameListTask(dir, 6);
  task["home"] = (dir / "absent").string();
  auto mapper = mapperFor(task);
  EXPECT_EQ(stateOf(*mapper), kMapperFailed);
  EXPECT_FALSE(mapper->start());
  EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
  EXPECT_FALSE(std::filesystem::exists(dir / "log.txt"));

  task["home"] = 5;
  EXPECT_EQ(stateOf(*mapperFor(task)), kMapperFailed);
  EXPECT_EQ(stateOf(*mapperFor(json::array())), kMapperFailed);
  EXPECT_FALSE(std::filesystem::exists(dir / "log.txt"));
}

TEST_F(MapperRefusal, TooFewFrames) {
  std::string log = refuse(frameListTask(dir, 5), false);
  const size_t line = log.find("] Insufficient frames for mapping: 5");
  ASSERT_NE(line, std::string::npos) << log;
  const size_t start = log.rfind('\n', line);
  EXPECT_EQ(log[start == std::string::npos ? 0 : start + 1], 'E') << log;  // logged as an error
}

TEST_F(MapperRefusal, DatasetsThatCannotBeCreated) {
  json task = frameListTask(dir, 6);
  task["dataset"] = "frames.json";
  EXPECT_NE(refuse(task, false).find("Invalid dataset of task."), std::string::npos);

  task["dataset"] = {{"uri", "frames.json"}};
  std::string log = refuse(task, false);
  EXPECT_NE(log.find("Failed to create dataset. "), std::string::npos) << log;
  EXPECT_NE(log.find("type must be string"), std::string::npos) << log;

  std::ofstream(dir / "broken.json") << "[{";
  task["dataset"] = {{"form", "zel_frame"}, {"uri", (dir / "broken.json").string()}};
  EXPECT_NE(refuse(task, false).find("Failed to create dataset. [json.exception.parse_error"),
            std::string::npos);

  task["dataset"] = {{"form", "zel_video"}, {"uri", (dir / "frames.json").string()}};
  EXPECT_NE(refuse(task, false).find("Failed to create dataset."), std::string::npos);
}

TEST_F(MapperRefusal, ChainsThatCannotBeBuilt) {
  json task = frameListTask(dir, 6);
  task["chain"] = {{"name", "legacy_sfm"}};
  EXPECT_NE(refuse(task, false).find("Invalid chain of task."), std::string::npos);

  task["chain"] = standardChain();
  task["chain"].push_back(chainItem("legacy_tf", "middle_end"));
  EXPECT_NE(refuse(task, true).find("Invalid chain type: middle_end"), std::string::npos);

  task["chain"] = standardChain();
  task["chain"][0]["name"] = "zel_slam3";
  EXPECT_NE(refuse(task, true).find("Failed to create front end process: zel_slam3"),
            std::string::npos);

  task["chain"] = standardChain();
  task["chain"][1]["name"] = "zel_pixfuse";
  EXPECT_NE(refuse(task, true).find("Failed to create back end process: zel_pixfuse"),
            std::string::npos);

  task["chain"] = standardChain(json::object(), {{"throw_on_create", "no device"}});
  EXPECT_NE(refuse(task, true).find("Failed to create back end process: legacy_pf (no device)"),
            std::string::npos);

  task["chain"] = standardChain();
  task["chain"][1]["config"] = "{}";
  EXPECT_NE(refuse(task, true).find("Invalid chain item: {\"config\":\"{}\""), std::string::npos);

  // A chain without a front end has nothing to feed.
  task["chain"] = json::array({chainItem("legacy_pf", "back_end")});
  refuse(task, true);
  EXPECT_TRUE(chainEndsRecord().framesAdded.empty());
}

}  // namespace
