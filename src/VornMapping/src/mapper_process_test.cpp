// Whole runs of the test variant of the mapping program, whose chain ends are test doubles.
#include "task_run_test_helper.h"

#include "src/utilities/src/test_images.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace {

using nlohmann::json;
using vmtest::frameListTask;
using vmtest::lastLine;
using vmtest::readFile;
using vmtest::runTask;
using vmtest::TaskRun;

const char* const kTestProgram = VORN_MAPPING_TEST_PROGRAM;

json liveTask(const vmtest::TempDir& dir) {
  return {{"home", dir.path().string()},
          {"dataset", {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 3}}}};
}

std::string frameLines(const vmtest::TempDir& dir, int count) {
  auto image = vmtest::writeTestJpeg(dir / "live.jpg", 48, 36, 9);
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += json{{"frame", vmtest::frameDocument(image, 48, 36).dump()}}.dump() + "\n";
  }
  return lines;
}

TEST(MapperProgram, SixFramesFinish) {
  vmtest::TempDir dir;
  TaskRun run = runTask(kTestProgram, frameListTask(dir, 6));
  EXPECT_EQ(run.child.exit_code, 0);
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_TRUE(run.states.front() == 100 || run.states.front() == 4) << run.states.front();
  EXPECT_EQ(run.states.back(), 12);
  const std::string log = readFile(dir / "log.txt");
  EXPECT_NE(lastLine(log).find("] Task processed in "), std::string::npos) << log;
}

TEST(MapperProgram, BadTasksFailWithTheReasonInTheLog) {
  vmtest::TempDir dir;
  TaskRun fewFrames = runTask(kTestProgram, frameListTask(dir, 5));
  EXPECT_EQ(fewFrames.child.exit_code, 0);
  EXPECT_EQ(fewFrames.states, std::vector<int>{-14});
  EXPECT_NE(readFile(dir / "log.txt").find("Insufficient frames for mapping: 5"),
            std::string::npos);

  vmtest::TempDir other;
  json task = frameListTask(other, 6);
  task["home"] = (other / "absent").string();
  TaskRun noHome = runTask(kTestProgram, task);
  EXPECT_EQ(noHome.states, std::vector<int>{-14});
  EXPECT_NE(noHome.child.err.find("Invalid home folder of task: "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(other / "log.txt"));
  EXPECT_FALSE(std::filesystem::exists(other / "absent"));
}

TEST(MapperProgram, MissingAndCorruptImagesAreSkipped) {
  vmtest::TempDir dir;
  json task = frameListTask(dir, 8);
  std::filesystem::remove(dir / "frame_3.jpg");
  std::ofstream(dir / "frame_6.jpg", std::ios::trunc) << "garbage";
  TaskRun run = runTask(kTestProgram, task);
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_EQ(run.states.back(), 12);
  const std::string log = readFile(dir / "log.txt");
  EXPECT_NE(log.find("Failed to open " + (dir / "frame_3.jpg").string()), std::string::npos);
  EXPECT_NE(log.find("Failed to decode image " + (dir / "frame_6.jpg").string()),
            std::string::npos);
}

// The last status line of a run, parsed.
json finalStatus(const TaskRun& run) {
  json last;
  for (const std::string& line : vmtest::splitLines(run.child.err)) {
    if (line.rfind("{\"output\":", 0) == 0) last = json::parse(line);
  }
  return last;
}

TEST(MapperProgram, TheFinalStatusAndTheLogSayWhatTheRunMade) {
  vmtest::TempDir dir;
  json task = frameListTask(dir, 7);
  std::ofstream(dir / "frame_4.jpg", std::ios::trunc) << "garbage";
  TaskRun run = runTask(kTestProgram, task);
  const json last = finalStatus(run);
  ASSERT_TRUE(last.is_object()) << run.child.err;
  EXPECT_EQ(last.at("state"), 12);
  const std::string summary = last.value("summary", "");
  EXPECT_EQ(summary.rfind("frames read 6, frames located 6, ", 0), 0u) << summary;
  EXPECT_NE(summary.find("DOM tiles 6, DSM tiles 6"), std::string::npos) << summary;
  EXPECT_NE(summary.find("; frames read failed 1 (not an image 1)"), std::string::npos) << summary;
  EXPECT_NE(readFile(dir / "log.txt").find("] Run summary: " + summary + "\n"), std::string::npos);
  // Only the final status line carries it.
  size_t carrying = 0;
  for (const std::string& line : vmtest::splitLines(run.child.err))
    carrying +=
        line.rfind("{\"output\":", 0) == 0 && line.find("\"summary\":") != std::string::npos;
  EXPECT_EQ(carrying, 1u);
}

TEST(MapperProgram, ARunThatWritesNoMapTileEndsFailedWithTheSummary) {
  vmtest::TempDir dir;
  json task = frameListTask(dir, 6);
  task["dense"] = {{"method", "legacy_pf"}, {"tiles_per_frame", 0}};
  TaskRun run = runTask(kTestProgram, task);
  const json last = finalStatus(run);
  ASSERT_TRUE(last.is_object()) << run.child.err;
  EXPECT_EQ(last.at("state"), -14);
  const std::string summary = last.value("summary", "");
  EXPECT_NE(summary.find("DOM tiles 0, DSM tiles 0"), std::string::npos) << summary;
  EXPECT_NE(readFile(dir / "log.txt").find("] No DOM or DSM tile was written: " + summary),
            std::string::npos);
}

TEST(MapperProgram, AbortStopsAFrameListRun) {
  vmtest::TempDir dir;
  TaskRun run = runTask(kTestProgram,
                        frameListTask(dir, 10, {{"method", "legacy_sfm"}, {"frame_delay_ms", 300}}),
                        "{\"abort\": false}\n{\"abort\": true}\n");
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_EQ(run.states.back(), 13);
  EXPECT_NE(lastLine(readFile(dir / "log.txt")).find("Task processed in "), std::string::npos);
}

TEST(MapperProgram, LiveRunEndsWithTheEmptyFrame) {
  vmtest::TempDir dir;
  TaskRun run = runTask(kTestProgram, liveTask(dir), frameLines(dir, 3) + "{\"frame\": \"\"}\n");
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_EQ(run.states.back(), 12);
}

TEST(MapperProgram, LiveRunStopsOnAbort) {
  vmtest::TempDir dir;
  TaskRun run = runTask(kTestProgram, liveTask(dir), "{\"abort\": true}\n");
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_EQ(run.states.back(), 13);
}

TEST(MapperProgram, LiveRunEndsWhenTheInputCloses) {
  vmtest::TempDir dir;
  TaskRun run = runTask(kTestProgram, liveTask(dir), frameLines(dir, 2));
  ASSERT_FALSE(run.states.empty()) << run.child.err;
  EXPECT_EQ(run.states.back(), 12);
}

}  // namespace
