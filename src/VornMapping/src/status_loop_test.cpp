#include "status_loop.h"
#include "input_commands.h"
#include "line_queue.h"
#include "status_line.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A mapper that goes through a scripted list of states, one per status request,
// and records what the entry point handed it.
class ScriptedMapper final : public VornMapper {
 public:
  explicit ScriptedMapper(std::vector<std::int32_t> states) : states_(std::move(states)) {}
  bool start() override { return true; }
  void stop() override { ++stops; }
  bool getStatus(MapperStatus& status) override {
    const std::int32_t state = states_[std::min(calls_++, states_.size() - 1)];
    if (state == status.state) return false;
    status.state = state;
    return true;
  }
  bool pushFrame(const std::string& frame) override {
    frames.push_back(frame);
    if (frame == "throw") throw std::runtime_error("bad frame");
    return false;
  }

  int stops = 0;
  std::vector<std::string> frames;

 private:
  std::vector<std::int32_t> states_;
  std::size_t calls_ = 0;
};

TEST(InputCommands, FramesAndAbortReachTheMapper) {
  ScriptedMapper mapper({100});
  for (const char* line :
       {R"({"frame":"{\"uri\":\"a.jpg\"}"})", R"({"frame":""})", R"({"frame":"x","abort":true})",
        R"({"frame":2,"abort":true})", R"({"abort":false})", R"({"abort":1})", "{}", "[]",
        "\"frame\"", "nonsense", "", R"({"frame":"throw"})", R"({"frame":null})"}) {
    handleInputLine(line, mapper);
  }
  EXPECT_EQ(mapper.frames, (std::vector<std::string>{R"({"uri":"a.jpg"})", "", "x", "throw"}));
  EXPECT_EQ(mapper.stops, 1);
}

TEST(StatusLine, CarriesStateProgressAndReportedRecords) {
  MapperStatus status;
  status.state = 4;
  EXPECT_EQ(statusLine(status), R"({"output":null,"progress":{"total":-1.0},"state":4})");

  status.progress.progress = 0.35;
  status.outputs.push_back(std::make_shared<zel::OutputItem>());
  EXPECT_EQ(statusLine(status), R"({"output":null,"progress":{"total":0.35},"state":4})");

  auto cloud = std::make_shared<zel::Tileset3D>();
  cloud->id = "pointcloud_01";
  status.outputs.push_back(cloud);
  EXPECT_EQ(
      statusLine(status),
      R"({"output":[{"id":"pointcloud_01","state":-1,"tileset_type":10,"time_updated":-1.0,"type":-1}],)"
      R"("progress":{"total":0.35},"state":4})");
}

TEST(StatusLine, ARecordThatCannotBeWrittenStillGivesTheState) {
  MapperStatus status;
  status.state = 12;
  auto broken = std::make_shared<zel::Tileset>();
  broken->crs = "\xff\xfe";  // not UTF-8: the JSON writer refuses it
  status.outputs.push_back(broken);
  EXPECT_EQ(statusLine(status), R"({"output":null,"progress":{"total":-1.0},"state":12})");
  // The summary of an ended run survives a record that cannot be written.
  status.summary = "frames read 6, DOM tiles 0";
  EXPECT_EQ(statusLine(status), R"({"output":null,"progress":{"total":-1.0},"state":12,)"
                                R"("summary":"frames read 6, DOM tiles 0"})");
}

TEST(StatusLine, TheSummaryFollowsTheOtherMembersOnceTheRunHasEnded) {
  MapperStatus status;
  status.state = -14;
  status.summary = "frames read 8, frames located 8, DOM tiles 0, DSM tiles 0";
  const nlohmann::json line = nlohmann::json::parse(statusLine(status));
  EXPECT_EQ(line.at("state"), -14);
  EXPECT_EQ(line.at("summary"), status.summary);
  // Controlling applications that look for the line's first member still find it.
  EXPECT_EQ(statusLine(status).rfind("{\"output\":", 0), 0u);
}

TEST(StatusLoop, WritesChangesUntilAFinalState) {
  ScriptedMapper mapper({100, 100, 4, 4, -14, 100});
  LineQueue input;
  input.push(R"({"frame":"f1"})");
  std::ostringstream err;
  runStatusLoop(mapper, input, err, std::chrono::milliseconds(1));
  EXPECT_EQ(err.str(),
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":100}\n"
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":4}\n"
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":-14}\n");
  EXPECT_EQ(mapper.frames, std::vector<std::string>{"f1"});
}

TEST(StatusLoop, EndOfInputEndsALiveDatasetOnce) {
  ScriptedMapper mapper({100, 100, 100, 12});
  LineQueue input;
  input.push(R"({"frame":"f1"})");
  input.close();
  std::ostringstream err;
  runStatusLoop(mapper, input, err, std::chrono::milliseconds(1));
  EXPECT_EQ(mapper.frames, (std::vector<std::string>{"f1", ""}));
}

TEST(LineQueue, AWaitEndsWhenALineIsQueuedAndNotWhenTheInputCloses) {
  LineQueue queue;
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
  queue.close();
  EXPECT_FALSE(queue.waitForLine(soon));  // the end is learnt from take(), not from a wake

  LineQueue fed;
  // Far enough that only the pushed line can end the wait.
  const auto late = std::chrono::steady_clock::now() + std::chrono::hours(1);
  std::thread reader([&fed] { fed.push(R"({"abort":true})"); });
  EXPECT_TRUE(fed.waitForLine(late));
  reader.join();
  EXPECT_TRUE(fed.waitForLine(late));  // still queued: the wait does not take it
  std::string line;
  EXPECT_EQ(fed.take(line), LineQueue::Take::kLine);
  EXPECT_EQ(line, R"({"abort":true})");
}

TEST(ReadInputLines, QueuesEveryLineThenTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string text = "first\n\n{\"abort\":true}\nlast without line feed";
  ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  LineQueue queue;
  readInputLines(fds[0], queue);
  close(fds[0]);
  std::vector<std::string> lines;
  std::string line;
  while (queue.take(line) == LineQueue::Take::kLine) lines.push_back(line);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"first", "", "{\"abort\":true}", "last without line feed"}));
  EXPECT_EQ(queue.take(line), LineQueue::Take::kEnded);
}

}  // namespace
