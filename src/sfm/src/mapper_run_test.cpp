// The mapper with our front end and a recording back end: a rendered frame list and the
// same frames pushed live are located in identifier order, bad frames are skipped with
// their error lines, and the "Locate" progress reaches 1.0 in the mapper's status.

#include "pose_log.h"
#include "read_file.h"
#include "recording_back_end.h"
#include "src/VornMapping/src/mapper_run_for_tests.h"
#include "src/VornMapping/src/vorn_mapper.h"
#include "temp_dir.h"
#include "tools/example_flight.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <sstream>

namespace sfm {
namespace {

using nlohmann::json;
using vmtest::readFile;

// Six small frames, two strips of three: enough for the mapper to start.
flight::WrittenFlight writeSmallFlight(const std::filesystem::path& folder) {
  flight::ExampleFlightOptions o;
  o.flight.camera.width = 240;
  o.flight.camera.height = 180;
  o.flight.camera.fx = o.flight.camera.fy = 204;
  o.flight.frames_per_strip = 3;
  o.texel = 0.5;
  const flight::ExampleFlight flight = flight::makeExampleFlight(o);
  return flight::writeExampleFlight(flight, flight::renderAllFrames(flight, VM_RENDER_CACHE),
                                    folder);
}

json readJson(const std::filesystem::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

json task(const vmtest::TempDir& home, json dataset) {
  const json chain =
      json::array({{{"name", "legacy_sfm"},
                    {"type", "front_end"},
                    {"config", {{"work_dir", (home.path() / ".cache" / "sfm").string()}}}},
                   {{"name", "legacy_pf"}, {"type", "back_end"}, {"config", json::object()}}});
  return {{"home", home.path().string()}, {"dataset", std::move(dataset)}, {"chain", chain}};
}

// Whole rendered runs get longer than the mapper's own tests.
MapperStatus runToEnd(VornMapper& mapper) {
  return vmtest::runToEnd(mapper, std::chrono::seconds(60));
}

// A started live run announcing `frames` frames; null when it did not start.
std::shared_ptr<VornMapper> startLiveRun(const vmtest::TempDir& home, int frames) {
  testing::resetFused();
  const auto mapper = createVornMapper(
      task(home, {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", frames}}).dump(), nullptr);
  return mapper->start() ? mapper : nullptr;
}

void expectLocatedInOrder(const std::vector<uint64_t>& expected, const MapperStatus& status) {
  const auto fused = testing::fusedFrames();
  ASSERT_EQ(fused.size(), expected.size());
  for (size_t i = 0; i < fused.size(); ++i) {
    EXPECT_EQ(fused[i]->id, expected[i]);
    EXPECT_GT(fused[i]->keyPointCount(), 0);
  }
  EXPECT_EQ(testing::fusedMaps(), 0) << "frames are sent one by one, never as a map";
  ASSERT_EQ(status.progress.children.size(), 2u);
  const ProgressEntry& locate = status.progress.children[0];
  EXPECT_EQ(locate.name, "Locate");
  EXPECT_NEAR(locate.progress / locate.total, 1.0, 1e-12);
  // Finished: every stage shows complete, the test back end's "Map Fusion" too.
  EXPECT_EQ(status.progress.progress, 1.0);
}

TEST(MapperRun, LocatesAFrameListInOrderAndSkipsBadFrames) {
  vmtest::TempDir home;
  const flight::WrittenFlight flight = writeSmallFlight(home / "flight");
  json frames = readJson(flight.frame_list);
  json no_gps = frames[1];
  no_gps.erase("gps");
  json no_calibration = frames[2];
  no_calibration.erase("calibration");
  frames.push_back(no_gps);          // identifier 6: the front end skips it
  frames.push_back(no_calibration);  // refused by the dataset, so it gets no identifier
  frames.push_back(frames[3]);       // identifier 7
  std::ofstream(home / "frames.json") << frames.dump();

  testing::resetFused();
  const auto mapper = createVornMapper(
      task(home, {{"form", "zel_frame"}, {"uri", (home / "frames.json").string()}}).dump(),
      nullptr);
  ASSERT_TRUE(mapper->start());
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFinished);
  expectLocatedInOrder({0, 1, 2, 3, 4, 5, 7}, status);

  const std::string log = readFile(home / "log.txt");
  EXPECT_NE(log.find("Skipping frame " + frames[1]["uri"].get<std::string>() +
                     ": no usable GPS position."),
            std::string::npos);
  EXPECT_NE(log.find("calibration: " + frames[2]["uri"].get<std::string>()), std::string::npos);
  std::ifstream poses(home / ".cache" / "sfm" / PoseLog::kFileName);
  int lines = 0;
  for (std::string line; std::getline(poses, line);) ++lines;
  EXPECT_EQ(lines, 7);
}

TEST(MapperRun, LocatesALiveRunInOrder) {
  vmtest::TempDir home;
  const flight::WrittenFlight flight = writeSmallFlight(home / "flight");
  const json frames = readJson(flight.frame_list);

  const auto mapper = startLiveRun(home, int(frames.size()));
  ASSERT_TRUE(mapper);
  for (const json& frame : frames) EXPECT_TRUE(mapper->pushFrame(frame.dump()));
  mapper->pushFrame("");
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFinished);
  expectLocatedInOrder({0, 1, 2, 3, 4, 5}, status);
}

TEST(MapperRun, ALiveRunThatEndsEarlySendsTheFramesItGot) {
  vmtest::TempDir home;
  const flight::WrittenFlight flight = writeSmallFlight(home / "flight");
  const json frames = readJson(flight.frame_list);

  const auto mapper = startLiveRun(home, int(frames.size()));
  ASSERT_TRUE(mapper);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(mapper->pushFrame(frames[i].dump()));
  mapper->pushFrame("");
  const MapperStatus status = runToEnd(*mapper);
  EXPECT_EQ(status.state, kMapperFinished);
  const auto fused = testing::fusedFrames();
  ASSERT_EQ(fused.size(), 3u);
  for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(fused[i]->id, i);
}

}  // namespace
}  // namespace sfm
