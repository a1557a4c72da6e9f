// Whole runs of the test variant of the mapping program, whose chain ends are test doubles.
#include "task_run_test_helper.h"

#include "src/utilities/src/test_images.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>

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

// Every status line of a run, parsed.
std::vector<json> statusLines(const TaskRun& run) {
  std::vector<json> statuses;
  for (const std::string& line : vmtest::splitLines(run.child.err)) {
    if (line.rfind("{\"output\":", 0) == 0) statuses.push_back(json::parse(line));
  }
  return statuses;
}

// Tasks that end failed before any frame is mapped still close like a run: the reason, then
// the two summary lines in the task log, and the summary in the final status line.
TEST(MapperProgram, TasksThatEndBeforeAnyFrameWriteTheSummaryLines) {
  struct Case {
    const char* name;
    std::function<json(const vmtest::TempDir&)> task;
    std::string input;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"one frame", [](const vmtest::TempDir& d) { return frameListTask(d, 1); }, "",
       "Insufficient frames for mapping: 1"},
      {"unreadable list",
       [](const vmtest::TempDir& d) {
         json task = frameListTask(d, 6);
         std::ofstream(task["dataset"]["uri"].get<std::string>(), std::ios::trunc) << "garbage";
         return task;
       },
       "", "Failed to create dataset."},
      {"unknown form",
       [](const vmtest::TempDir& d) {
         json task = frameListTask(d, 6);
         task["dataset"]["form"] = "other";
         return task;
       },
       "", "Failed to create dataset."},
      {"no such front end",
       [](const vmtest::TempDir& d) {
         return frameListTask(d, 6, {{"method", "zel_slam3"}});
       },
       "", "Failed to create front end process: zel_slam3"},
      {"live run without frames", [](const vmtest::TempDir& d) { return liveTask(d); },
       "{\"frame\": \"\"}\n", "No frame was located: the live run received no frame."},
  };
  for (const Case& c : cases) {
    vmtest::TempDir dir;
    TaskRun run = runTask(kTestProgram, c.task(dir), c.input);
    const json last = finalStatus(run);
    ASSERT_TRUE(last.is_object()) << c.name << run.child.err;
    EXPECT_EQ(last.at("state"), -14) << c.name;
    const std::string summary = last.value("summary", "");
    EXPECT_EQ(summary.rfind("frames read ", 0), 0u) << c.name << ": " << summary;
    const std::string log = readFile(dir / "log.txt");
    const size_t reason = log.find(c.reason);
    const size_t noTiles = log.find("] No DOM or DSM tile was written: " + summary + "\n");
    const size_t closing = log.find("] Run summary: " + summary + "\n");
    EXPECT_NE(reason, std::string::npos) << c.name << ": " << log;
    EXPECT_NE(noTiles, std::string::npos) << c.name << ": " << log;
    EXPECT_NE(closing, std::string::npos) << c.name << ": " << log;
    EXPECT_TRUE(reason < noTiles && noTiles < closing) << c.name << ": " << log;
  }
}

// A live run counts its stages against the frames it really gets, whatever its task
// announced: the progress never shows 1.0 while it runs, and a finished run ends there.
TEST(MapperProgram, ProgressStaysBelowOneWhileRunningAndAFinishedRunEndsAtOne) {
  for (int announced : {2, 100}) {
    vmtest::TempDir dir;
    json task = liveTask(dir);
    task["dataset"]["frame_cnt"] = announced;
    TaskRun run = runTask(kTestProgram, task, frameLines(dir, 5) + "{\"frame\": \"\"}\n");
    const std::vector<json> statuses = statusLines(run);
    ASSERT_FALSE(statuses.empty()) << run.child.err;
    for (size_t i = 0; i + 1 < statuses.size(); ++i) {
      EXPECT_LT(statuses[i]["progress"]["total"].get<double>(), 1.0)
          << announced << " announced: " << statuses[i];
    }
    EXPECT_EQ(statuses.back()["state"], 12) << announced;
    EXPECT_EQ(statuses.back()["progress"]["total"], 1.0) << announced;
  }
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
