#include "task_log_sink.h"

#include "framework/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

namespace {

struct tm calendar(int month, int day, int hour, int minute, int second) {
  struct tm time {};
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

TEST(TaskLogLine, FieldsArePaddedAndTheMessageIsKept) {
  const std::string text = "Failed to open x\n";
  EXPECT_EQ(formatTaskLogLine(fw::kLogError, calendar(1, 9, 7, 5, 9), 42, text.data(), text.size()),
            "E0109 07:05:09    42] Failed to open x\n");
  EXPECT_EQ(formatTaskLogLine(fw::kLogInfo, calendar(12, 31, 23, 59, 58), 1234567, "ok\n", 3),
            "I1231 23:59:58 1234567] ok\n");
  EXPECT_EQ(formatTaskLogLine(fw::kLogWarning, calendar(6, 1, 0, 0, 0), 5, "w\n", 2)[0], 'W');
  EXPECT_EQ(formatTaskLogLine(fw::kLogFatal, calendar(6, 1, 0, 0, 0), 5, "f\n", 2)[0], 'F');
}

TEST(TaskLogSink, WritesOnlyWhileItHasAStream) {
  LogSink sink;
  struct tm time = calendar(3, 4, 5, 6, 7);
  sink.write(fw::kLogError, "/a/b.cpp", "b.cpp", 10, &time, "before\n", 7);
  auto stream = std::make_shared<std::ostringstream>();
  sink.setStream(stream);
  sink.write(fw::kLogError, "/a/b.cpp", "b.cpp", 10, &time, "during\n", 7);
  sink.setStream(nullptr);
  sink.write(fw::kLogError, "/a/b.cpp", "b.cpp", 10, &time, "after\n", 6);
  const std::string text = stream->str();
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(E0304 05:06:07 [ \d]{4}\d+\] during\n)")))
      << text;
}

TEST(TaskLogSink, LinesOfConcurrentThreadsNeverInterleave) {
  LogSink sink;
  auto stream = std::make_shared<std::ostringstream>();
  sink.setStream(stream);
  struct tm time = calendar(3, 4, 5, 6, 7);
  const std::string message(200, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string text = std::to_string(t) + message + "\n";
      for (int i = 0; i < 200; ++i) {
        sink.write(fw::kLogInfo, "f.cpp", "f.cpp", 1, &time, text.data(), text.size());
        // One thread takes the stream away half way: lines are whole or absent.
        if (t == 0 && i == 100) sink.setStream(nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(stream->str());
  int count = 0;
  const std::regex whole(R"(I0304 05:06:07 [ \d]{4}\d+\] [0-3]x{200})");
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
  }
  EXPECT_GE(count, 101);
}

TEST(TaskLogSink, ReceivesTheProcessLogWhileRegistered) {
  LogSink sink;
  auto stream = std::make_shared<std::ostringstream>();
  sink.setStream(stream);
  fw::logSinks()->insert(&sink);
  FW_LOG(fw::kLogWarning) << "disk nearly full: " << 93 << "%";
  fw::logSinks()->erase(&sink);
  FW_LOG(fw::kLogWarning) << "not in the task log";
  EXPECT_TRUE(std::regex_match(
      stream->str(),
      std::regex(R"(W\d{4} \d{2}:\d{2}:\d{2} [ \d]{4}\d+\] disk nearly full: 93%\n)")))
      << stream->str();
}

}  // namespace
