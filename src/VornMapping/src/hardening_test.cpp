#include "line_queue.h"
#include "status_loop.h"
#include "task_startup.h"

#include "framework/captured_log_for_tests.h"

#include "framework/printable_text.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> readThroughPipe(const std::string& input, std::size_t maxLine) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    // Odd chunk sizes, so that lines and the limit straddle the reads.
    for (std::size_t at = 0; at < input.size(); at += 7) {
      const std::size_t n = std::min<std::size_t>(7, input.size() - at);
      EXPECT_EQ(::write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
    }
    ::close(fds[1]);
  });
  LineQueue queue;
  readInputLines(fds[0], queue, maxLine);
  writer.join();
  ::close(fds[0]);
  std::vector<std::string> lines;
  std::string line;
  while (queue.take(line) == LineQueue::Take::kLine) lines.push_back(line);
  return lines;
}

TEST(InputLines, LinesOverTheLimitAreDroppedWhole) {
  const std::string atLimit(16, 'a');
  const std::string overLimit(17, 'b');
  const std::string longer(100, 'c');
  EXPECT_EQ(readThroughPipe(atLimit + "\n" + overLimit + "\nnext\n" + longer + "\n\nlast", 16),
            (std::vector<std::string>{atLimit, "next", "", "last"}));
  // An overlong text without a final line feed is dropped too.
  EXPECT_EQ(readThroughPipe("one\n" + longer, 16), std::vector<std::string>{"one"});
}

TEST(PrintableText, ShowsEveryByteOfATextWithControlBytes) {
  EXPECT_EQ(fw::printableText("legacy_sfm"), "legacy_sfm");
  EXPECT_EQ(fw::printableText(std::string("a\0b\"\n", 5)), R"("a\u0000b\"\n")");
  EXPECT_TRUE(fw::hasNulByte(std::string("a\0", 2)));
  EXPECT_FALSE(fw::hasNulByte("a"));
}

// A home named through a link becomes its real folder, and the folders the task names inside
// it move along; other paths, and a home that is its own real folder or does not exist, stay.
TEST(HomeFolder, AHomeNamedThroughALinkIsResolvedOnce) {
  vmtest::TempDir base;
  const std::filesystem::path real = base / "real", link = base / "link";
  std::filesystem::create_directories(real);
  std::filesystem::create_directory_symlink(real, link);
  nlohmann::json task = {{"home", link.string()},
                         {"dense", {{"tiling", {{"location", (link / "points").string()}}}}},
                         {"dom", {{"tiling", {{"location", (base / "elsewhere").string()}}}}},
                         {"dsm", {{"tiling", {{"location", (link / "../beside").string()}}}}},
                         {"locate", {{"work_dir", (link / "sfm/").string()}}}};
  std::ostringstream out;
  resolveHome(task, out);
  EXPECT_EQ(task["home"], real.string());
  EXPECT_EQ(task["dense"]["tiling"]["location"], (real / "points").string());
  EXPECT_EQ(task["locate"]["work_dir"], (real / "sfm/").string());
  EXPECT_EQ(task["dom"]["tiling"]["location"], (base / "elsewhere").string());
  EXPECT_EQ(task["dsm"]["tiling"]["location"], (link / "../beside").string());
  EXPECT_EQ(out.str(), "home: " + link.string() + " is the folder " + real.string() + "\n");

  for (const std::filesystem::path& home : {real, base / "missing"}) {
    nlohmann::json same = {{"home", home.string()}};
    std::ostringstream quiet;
    resolveHome(same, quiet);
    EXPECT_EQ(same["home"], home.string());
    EXPECT_TRUE(quiet.str().empty());
  }
}

// A mapper that stops when asked and then reports the stopped state.
class StoppableMapper final : public VornMapper {
 public:
  bool start() override { return true; }
  void stop() override { stopped = true; }
  bool getStatus(MapperStatus& status) override {
    const std::int32_t state = stopped ? kMapperStopped : kMapperRunning;
    if (status.state == state) return false;
    status.state = state;
    return true;
  }
  bool pushFrame(const std::string&) override { return false; }
  bool stopped = false;
};

bool signalled() { return true; }

TEST(StatusLoop, AStopSignalStopsTheRunLikeAbort) {
  StoppableMapper mapper;
  LineQueue input;
  std::ostringstream err;
  runStatusLoop(mapper, input, err, std::chrono::milliseconds(1), signalled);
  EXPECT_TRUE(mapper.stopped);
  EXPECT_NE(err.str().find("\"state\":13"), std::string::npos) << err.str();
}

TEST(StatusLoop, ASignalTakenBeforeTheRunIsLoggedAndStopsItOnce) {
  fwtest::CapturedLog log;
  StoppableMapper mapper;
  bool passed = false;
  takeStopSignal(mapper, signalled, passed);
  EXPECT_TRUE(passed);
  EXPECT_TRUE(mapper.stopped);
  mapper.stopped = false;
  takeStopSignal(mapper, signalled, passed);
  EXPECT_FALSE(mapper.stopped) << "taken once";
  // The loop does not take it again: the log says it once, before the run's end.
  mapper.stopped = true;
  LineQueue input;
  std::ostringstream err;
  runStatusLoop(mapper, input, err, std::chrono::milliseconds(1), signalled, passed);
  EXPECT_EQ(log.count(fw::kLogInfo, "Stop requested by a signal."), 1);
}

}  // namespace
