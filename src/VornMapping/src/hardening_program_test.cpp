// The programs against hostile input and hostile start-up conditions: files that are not
// regular, deep documents on a small stack, two runs on one home, a symbolic link at the log,
// runs that locate nothing, a huge input line, closed descriptors, a vanished reader, signals
// and NUL bytes. The production program is used where start-up refuses the task; whole runs
// use the test variant, whose chain ends are test doubles.
#include "child_process_test_helper.h"
#include "spawn_test_helper.h"
#include "task_run_test_helper.h"

#include "src/utilities/src/test_images.h"
#include "tiles/cpu_features.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <utility>

namespace {

using nlohmann::json;
using vmtest::readFile;

const char* const kProgram = VORN_MAPPING_PROGRAM;
const char* const kTestProgram = VORN_MAPPING_TEST_PROGRAM;

using vmtest::ProgramRun;

ProgramRun run(const char* program, const json& task, vmtest::SpawnOptions options = {}) {
  return vmtest::runProgram(program, task, std::move(options));
}

using vmtest::contains;

json liveTask(const vmtest::TempDir& dir) {
  return {{"home", dir.path().string()},
          {"dataset", {{"live", true}, {"form", "zel_frame"}, {"frame_cnt", 2}}}};
}

json slowTask(const vmtest::TempDir& dir) {
  return vmtest::frameListTask(dir, 10, {{"method", "legacy_sfm"}, {"frame_delay_ms", 300}});
}

TEST(HardenedProgram, FilesThatAreNotRegularAreRefusedByName) {
  vmtest::TempDir dir;
  const auto fifo = dir / "frames.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  json task = vmtest::frameListTask(dir, 8);
  task["dataset"]["uri"] = fifo.string();
  ProgramRun listRun = run(kProgram, task);
  EXPECT_EQ(listRun.states(), std::vector<int>{-14});
  EXPECT_TRUE(contains(readFile(dir / "log.txt"),
                       "Failed to open " + fifo.string() + ": not a regular file"));

  // Frame images that are a FIFO and a device are skipped; the other frames are mapped.
  vmtest::TempDir images;
  json imageTask = vmtest::frameListTask(images, 8);
  std::filesystem::remove(images / "frame_2.jpg");
  ASSERT_EQ(::mkfifo((images / "frame_2.jpg").c_str(), 0600), 0);
  std::filesystem::remove(images / "frame_5.jpg");
  std::filesystem::create_symlink("/dev/zero", images / "frame_5.jpg");
  ProgramRun imageRun = run(kTestProgram, imageTask);
  ASSERT_FALSE(imageRun.statusLines.empty()) << imageRun.child.err;
  EXPECT_EQ(imageRun.states().back(), 12);
  const std::string log = readFile(images / "log.txt");
  for (const char* name : {"frame_2.jpg", "frame_5.jpg"}) {
    EXPECT_TRUE(
        contains(log, "Failed to open " + (images / name).string() + ": not a regular file"))
        << log;
  }
}

TEST(HardenedProgram, DeepDocumentsGiveTheJsonErrorOnASmallStack) {
  vmtest::TempDir dir;
  const json base = vmtest::frameListTask(dir, 6);
  vmtest::SpawnOptions smallStack;
  smallStack.stackLimitBytes = 1 << 20;
  const std::string formatError = R"({"code":-4,"message":"Invalid task or config format"})";

  std::string deepArray = base.dump();
  deepArray.pop_back();
  deepArray += ",\"x\":" + std::string(48000, '[') + std::string(48000, ']') + "}";
  std::string deepLocate = base.dump();
  deepLocate.pop_back();
  // As deep as one argument can carry (Linux takes up to 128 KiB per argument).
  for (int i = 0; i < 16000; ++i) deepLocate += i == 0 ? ",\"locate\":{\"a\":" : "{\"a\":";
  deepLocate += "1" + std::string(16000, '}') + "}";
  for (const std::string& text : {deepArray, deepLocate}) {
    smallStack.args = {"--task", vmtest::base64Encode(text), "--config",
                       vmtest::base64Encode("{}")};
    const vmtest::ChildResult child = vmtest::spawnChild(kProgram, smallStack);
    EXPECT_EQ(child.exit_code, 0);
    EXPECT_EQ(vmtest::lastLine(child.err), formatError);
  }
  const std::string deepConfig = std::string(30000, '[') + std::string(30000, ']');
  smallStack.args = {"--task", vmtest::base64Encode(base.dump()), "--config",
                     vmtest::base64Encode(deepConfig)};
  const vmtest::ChildResult child = vmtest::spawnChild(kProgram, smallStack);
  EXPECT_EQ(vmtest::lastLine(child.err), formatError);

  // At the limit itself the task is still accepted.
  json shallow = base;
  json nested = 1;
  for (int i = 0; i < 198; ++i) nested = json::array({nested});
  shallow["x"] = nested;
  EXPECT_FALSE(run(kProgram, shallow, smallStack).statusLines.empty());
}

TEST(HardenedProgram, ASecondRunOnTheSameHomeIsRefused) {
  vmtest::TempDir dir;
  ProgramRun second;
  bool started = false;
  vmtest::SpawnOptions options;
  options.onErrorLine = [&](pid_t, const std::string& line) {
    if (!started && contains(line, "\"state\":4")) {
      started = true;
      second = run(kTestProgram, vmtest::frameListTask(dir, 6));
    }
    return true;
  };
  ProgramRun first = run(kTestProgram, slowTask(dir), options);
  ASSERT_TRUE(started) << first.child.err;
  EXPECT_EQ(second.states(), std::vector<int>{-14});
  EXPECT_TRUE(contains(second.child.err, "home is in use by another task")) << second.child.err;
  EXPECT_EQ(first.states().back(), 12);
  const std::string log = readFile(dir / "log.txt");
  EXPECT_TRUE(contains(vmtest::lastLine(log), "Task processed in ")) << log;
  EXPECT_FALSE(contains(log, "home is in use"));
}

TEST(HardenedProgram, ASymbolicLinkAtTheLogIsNotFollowed) {
  vmtest::TempDir dir;
  std::ofstream(dir / "victim.txt") << "keep";
  std::filesystem::create_symlink(dir / "victim.txt", dir / "log.txt");
  ProgramRun linked = run(kProgram, vmtest::frameListTask(dir, 6));
  EXPECT_EQ(linked.states(), std::vector<int>{-14});
  EXPECT_TRUE(contains(linked.child.err, "Failed to open log file: " + (dir / "log.txt").string() +
                                             ": it is a symbolic link"));
  EXPECT_EQ(readFile(dir / "victim.txt"), "keep");
}

TEST(HardenedProgram, RunsThatLocateNoFrameFailWithTheReason) {
  vmtest::TempDir dir;
  json task = vmtest::frameListTask(dir, 6);
  for (int i = 0; i < 6; ++i) {
    std::ofstream(dir / ("frame_" + std::to_string(i) + ".jpg"), std::ios::trunc) << "garbage";
  }
  ProgramRun allBad = run(kTestProgram, task);
  ASSERT_FALSE(allBad.statusLines.empty()) << allBad.child.err;
  EXPECT_EQ(allBad.states().back(), -14);
  EXPECT_TRUE(contains(readFile(dir / "log.txt"),
                       "No frame was located: no image of the frame list could be loaded."));

  vmtest::TempDir liveDir;
  std::ofstream(liveDir / "input.txt") << "{\"frame\": \"\"}\n";
  vmtest::SpawnOptions options;
  options.stdinPath = (liveDir / "input.txt").string();
  ProgramRun empty = run(kTestProgram, liveTask(liveDir), options);
  ASSERT_FALSE(empty.statusLines.empty()) << empty.child.err;
  EXPECT_EQ(empty.states().back(), -14);
  EXPECT_TRUE(contains(readFile(liveDir / "log.txt"),
                       "No frame was located: the live run received no frame."));
}

TEST(HardenedProgram, AHugeInputLineIsDroppedAndTheNextLinesStillCount) {
  vmtest::TempDir dir;
  const auto image = vmtest::writeTestJpeg(dir / "live.jpg", 48, 36, 9);
  const std::string frame = json{{"frame", vmtest::frameDocument(image, 48, 36).dump()}}.dump();
  {
    std::ofstream input(dir / "input.txt", std::ios::binary);
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 100; ++i) input << chunk;
    input << '\n' << frame << '\n' << frame << "\n{\"frame\": \"\"}\n";
  }
  vmtest::SpawnOptions options;
  options.stdinPath = (dir / "input.txt").string();
  ProgramRun huge = run(kTestProgram, liveTask(dir), options);
  ASSERT_FALSE(huge.statusLines.empty()) << huge.child.err.substr(0, 2000);
  EXPECT_EQ(huge.states().back(), 12);
  EXPECT_TRUE(contains(readFile(dir / "log.txt"),
                       "Dropped a standard-input line longer than 67108864 bytes"));
}

TEST(HardenedProgram, ClosedStandardDescriptorsNeverBecomeTheTaskLog) {
  for (const std::vector<int>& closed : {std::vector<int>{2}, std::vector<int>{0, 1, 2}}) {
    vmtest::TempDir dir;
    vmtest::SpawnOptions options;
    options.closedDescriptors = closed;
    const ProgramRun quiet = run(kTestProgram, vmtest::frameListTask(dir, 6), options);
    EXPECT_EQ(quiet.child.exit_code, 0);
    const std::string log = readFile(dir / "log.txt");
    EXPECT_TRUE(contains(vmtest::lastLine(log), "Task processed in ")) << log;
    // Neither status lines nor the unprefixed copies of log lines reach the file.
    EXPECT_FALSE(contains(log, "\"state\"")) << log;
    EXPECT_FALSE(contains(log, "\nTask processed in")) << log;
  }
}

TEST(HardenedProgram, AVanishedReaderDoesNotEndTheRun) {
  vmtest::TempDir dir;
  vmtest::SpawnOptions options;
  options.onErrorLine = [](pid_t, const std::string&) { return false; };
  const ProgramRun orphan = run(kTestProgram, slowTask(dir), options);
  EXPECT_EQ(orphan.child.exit_code, 0);
  EXPECT_TRUE(contains(vmtest::lastLine(readFile(dir / "log.txt")), "Task processed in "));
}

TEST(HardenedProgram, StopSignalsStopTheRunWithItsProductsFlushed) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    vmtest::TempDir dir;
    bool sent = false;
    vmtest::SpawnOptions options;
    options.onErrorLine = [&](pid_t pid, const std::string& line) {
      if (!sent && contains(line, "\"state\":4") && contains(line, "dense_points")) {
        sent = true;
        ::kill(pid, signal);
      }
      return true;
    };
    const ProgramRun stopped = run(kTestProgram, slowTask(dir), options);
    ASSERT_TRUE(sent) << stopped.child.err;
    EXPECT_EQ(stopped.child.exit_code, 0);
    ASSERT_FALSE(stopped.statusLines.empty());
    const json& last = stopped.statusLines.back();
    EXPECT_EQ(last.at("state"), 13);
    ASSERT_TRUE(last.at("output").is_array()) << last;
    EXPECT_EQ(last["output"][0].at("state"), 12) << last;
    EXPECT_TRUE(contains(vmtest::lastLine(readFile(dir / "log.txt")), "Task processed in "));
  }
}

TEST(HardenedProgram, NulBytesInAMethodOrPathAreShownEscaped) {
  vmtest::TempDir dir;
  json task = vmtest::frameListTask(dir, 6);
  task["locate"] = {{"method", std::string("legacy_sfm\0x", 12)}};
  const ProgramRun method = run(kProgram, task);
  EXPECT_EQ(vmtest::lastLine(method.child.err),
            R"({"code":-7,"message":"Unsupported locate method\"legacy_sfm\\u0000x\""})");

  // A home with a NUL byte is an invalid task, refused before anything is written.
  json home = vmtest::frameListTask(dir, 6);
  home["home"] = dir.path().string() + std::string("\0/elsewhere", 11);
  const ProgramRun badHome = run(kProgram, home);
  EXPECT_TRUE(badHome.statusLines.empty());
  EXPECT_EQ(vmtest::lastLine(badHome.child.err),
            R"({"code":-4,"message":"Invalid task or config format: home must not hold a NUL )"
            R"(byte, not \")" +
                dir.path().string() + R"(\\u0000/elsewhere\""})");
  EXPECT_FALSE(std::filesystem::exists(dir / "log.txt"));
}

TEST(HardenedProgram, ChecksumsTakeTheProcessorsFastPath) {
  vmtest::TempDir dir;
  const ProgramRun finished = run(kTestProgram, vmtest::frameListTask(dir, 6));
  // The test main chose the paths the way the program does, on the same processor.
  const std::string expected = std::string("Checksum paths: CRC-32 ") +
                               (crcUsesCarrylessMultiply() ? "carry-less multiply" : "table") +
                               ", Adler-32 " + (adlerUsesVectorLoop() ? "vector" : "scalar");
  EXPECT_TRUE(contains(readFile(dir / "log.txt"), expected)) << expected;
  if (processorFeatures().pclmulqdq && processorFeatures().sse41) {
    EXPECT_TRUE(contains(expected, "carry-less multiply"));
  }
}

}  // namespace

namespace {

#ifdef VORN_MAKE_EXAMPLE_FLIGHT
TEST(HardenedTools, TheExampleFlightToolChecksEveryOption) {
  vmtest::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"--altitude", "nan"},      {"--altitude", "-5"}, {"--texel", "0"},
      {"--texel", "inf"},         {"--width", "12abc"}, {"--strips", "0"},
      {"--forward-overlap", "1"}, {"--seed", "-1"},     {"--fx", "1e400"}};
  for (const auto& [option, value] : bad) {
    const vmtest::ChildResult child = vmtest::runChild(
        VORN_MAKE_EXAMPLE_FLIGHT, {"--out", (dir / "out").string(), option, value});
    EXPECT_EQ(child.exit_code, 2) << option << " " << value;
    EXPECT_TRUE(contains(child.err, "bad value for " + option + ": " + value + " (")) << child.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  }
}
#endif

}  // namespace
