// The production mapping program refuses bad tasks like the test variant does, maps a
// rendered flight into a point cloud that a reader we did not write loads, and leaves a
// loadable point cloud wherever it is killed.
#include "task_run_test_helper.h"

#include "chain/output_item.h"
#include "src/3dtiles/src/pointcloud_reader_for_tests.h"
#include "tools/example_flight.h"

#include "read_file.h"
#include "temp_dir.h"
#include "testsupport/sanitizer_build.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

namespace {

using nlohmann::json;
using vmtest::frameListTask;
using vmtest::readFile;
using vmtest::TaskRun;

const char* const kProgram = VORN_MAPPING_PROGRAM;

TaskRun runTask(const json& task) { return vmtest::runTask(kProgram, task); }

TEST(ProductionProgram, RefusesBadTasks) {
  vmtest::TempDir dir;
  TaskRun fewFrames = runTask(frameListTask(dir, 5));
  EXPECT_EQ(fewFrames.child.exit_code, 0);
  EXPECT_EQ(fewFrames.states, std::vector<int>{-14});
  EXPECT_NE(readFile(dir / "log.txt").find("Insufficient frames for mapping: 5"),
            std::string::npos);

  vmtest::TempDir other;
  json task = frameListTask(other, 6);
  task["home"] = (other / "absent").string();
  EXPECT_EQ(runTask(task).states, std::vector<int>{-14});
  EXPECT_FALSE(std::filesystem::exists(other / "log.txt"));

  vmtest::TempDir fourth;
  std::ofstream(fourth / "frames.json") << "[{\"uri\": ";
  json broken = {{"home", fourth.path().string()},
                 {"dataset", {{"form", "zel_frame"}, {"uri", (fourth / "frames.json").string()}}}};
  EXPECT_EQ(runTask(broken).states, std::vector<int>{-14});
  EXPECT_NE(readFile(fourth / "log.txt").find("Failed to create dataset. "), std::string::npos);
}

// Six frames of the example flight, small enough to map in a second or two.
json flightTask(const vmtest::TempDir& home) {
#if defined(__SANITIZE_THREAD__)
  // The renderer's loops run on OpenCV's TBB workers, whose hand-over ThreadSanitizer cannot
  // see; drawn on this thread instead.
  cv::setNumThreads(1);
#endif
  flight::ExampleFlightOptions o;
  o.flight.camera.width = 240;
  o.flight.camera.height = 180;
  o.flight.camera.fx = o.flight.camera.fy = 204;
  o.flight.strips = 1;
  o.flight.frames_per_strip = 6;
  o.texel = 0.5;
  const auto written = flight::writeExampleFlight(flight::makeExampleFlight(o), home / "flight");
  return {{"home", home.path().string()},
          {"dataset", {{"form", "zel_frame"}, {"uri", written.frame_list.string()}}}};
}

// The mapping program as a child whose standard error stream the test reads.
class RunningProgram {
 public:
  explicit RunningProgram(const json& task) {
    int err[2];
    if (::pipe(err) != 0) return;
    const std::string encoded = vmtest::base64Encode(task.dump());
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(err[1], 2);
      for (int fd : {err[0], err[1], null}) ::close(fd);
      ::execl(kProgram, kProgram, "--task", encoded.c_str(), "--config",
              "e30=", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(err[1]);
    errors_ = err[0];
  }
  ~RunningProgram() {
    kill();
    if (errors_ >= 0) ::close(errors_);
  }
  bool started() const { return pid_ > 0; }

  // The next line of the standard error stream; false at its end.
  bool readLine(std::string& line) {
    line.clear();
    char c;
    while (::read(errors_, &c, 1) == 1) {
      if (c == '\n') return true;
      line += c;
    }
    return !line.empty();
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int errors_ = -1;
};

// The state of "pointcloud_01" in a status line; -2 for other lines and lines without it.
int pointCloudState(const std::string& line) {
  if (line.rfind("{\"output\":", 0) != 0) return -2;
  const json status = json::parse(line);
  if (!status["output"].is_array()) return -2;
  for (const json& record : status["output"]) {
    if (record["id"] == "pointcloud_01") return record["state"];
  }
  return -2;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(ProductionProgram, MapsSixFlightFramesIntoAPointCloud) {
#if defined(__SANITIZE_THREAD__)
  // Terrain fusion's OpenCV loops hand work to TBB workers in a way ThreadSanitizer cannot
  // see, so the sanitized program stops with a report; the stages are checked in-process.
  GTEST_SKIP() << "the whole program is not run under ThreadSanitizer";
#endif
  vmtest::TempDir home;
  const TaskRun run = runTask(flightTask(home));
  const std::string& err = run.child.err;
  ASSERT_FALSE(run.states.empty()) << err;
  EXPECT_EQ(run.states.back(), 12) << err;
  // The record goes from -1 (nothing written yet) to 10 (being written) to 12 (finished) and
  // never back; which of these a status line catches depends on the status loop's pace.
  json last;
  std::vector<int> records;
  for (const std::string& line : vmtest::splitLines(err)) {
    if (line.rfind("{\"output\":", 0) != 0) continue;
    last = json::parse(line);
    if (pointCloudState(line) != -2) records.push_back(pointCloudState(line));
  }
  ASSERT_FALSE(records.empty()) << err;
  EXPECT_TRUE(std::is_sorted(records.begin(), records.end()));
  for (int state : records) {
    EXPECT_TRUE(state == zel::kOutputNotStarted || state == zel::kOutputInProgress ||
                state == zel::kOutputFinished)
        << state;
  }
  EXPECT_EQ(pointCloudState(last.dump()), zel::kOutputFinished);
  EXPECT_EQ(last["progress"]["total"], 1.0) << "every announced frame reached the back end";

  const auto root = home / "dense" / "tileset.json";
  EXPECT_EQ(pointcloud_reader::strictTilesetProblems(root), std::vector<std::string>());
  const auto read = pointcloud_reader::readWithPy3dtiles(root);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_GE(read.pnts.size(), 20u) << "five levels of at least four frames";

  const std::string log = readFile(home / "log.txt");
  EXPECT_EQ(countOf(log, "cant find library terrainfusion"), 0u) << log;
}

TEST(ProductionProgram, KilledRunsLeaveALoadablePointCloud) {
  // What a kill leaves behind does not depend on the build, and a sanitizer's report in a
  // killed child would go unseen. AddressSanitizer watches the program map the flight in the
  // test above; ThreadSanitizer watches the stages' threads in their own tests.
  if (vmtest::kAddressSanitizerBuild || vmtest::kThreadSanitizerBuild) {
    GTEST_SKIP() << "six runs of the flight that no sanitizer report could fail";
  }
  vmtest::TempDir flightHome;
  const json flight = flightTask(flightHome);
  // One whole run gives the span in which the kills fall; the five runs go side by side.
  const auto begin = std::chrono::steady_clock::now();
  {
    RunningProgram whole(flight);
    std::string line;
    while (whole.readLine(line)) {
    }
  }
  const double span =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::mt19937 random(2024);
  std::uniform_real_distribution<double> moment(0.2 * span, 1.2 * span);
  std::vector<std::unique_ptr<vmtest::TempDir>> homes;
  std::vector<double> moments;
  std::vector<std::thread> runs;
  std::vector<char> started(5, 0);
  for (int round = 0; round < 5; ++round) {
    homes.push_back(std::make_unique<vmtest::TempDir>());
    moments.push_back(moment(random));
    json task = flight;
    task["home"] = homes.back()->path().string();
    runs.emplace_back([task, &started, round, seconds = moments.back()] {
      RunningProgram program(task);
      started[round] = program.started();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      program.kill();
    });
  }
  for (auto& run : runs) run.join();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("killed after " + std::to_string(moments[round]) + " s");
    ASSERT_TRUE(started[round]);
    const auto root = homes[round]->path() / "dense" / "tileset.json";
    if (!std::filesystem::exists(root)) continue;  // killed before the first frame
    EXPECT_EQ(pointcloud_reader::strictTilesetProblems(root), std::vector<std::string>());
    const auto read = pointcloud_reader::readWithPy3dtiles(root);
    EXPECT_TRUE(read.ok) << read.error;
  }
}

}  // namespace
