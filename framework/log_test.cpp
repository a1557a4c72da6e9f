#include "framework/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string baseName(const std::string& path) {
  std::string base;
  fw::LogMessage::fileBaseName(path, base);
  return base;
}

// Records every call made on it into a journal shared by the sinks of one test.
struct RecordingSink : fw::LogSink {
  RecordingSink(std::vector<std::string>& journal, std::string name)
      : journal(journal), name(std::move(name)) {}
  void write(int severity, const char* path, const char* base_name, int line, const struct tm* time,
             const char* text, uint64_t length) override {
    journal.push_back(name + ".write");
    last_severity = severity;
    last_path = path;
    last_base = base_name;
    last_line = line;
    last_year = time ? time->tm_year + 1900 : 0;
    last_text.assign(text, length);
    last_length = length;
  }
  void flush() override { journal.push_back(name + ".flush"); }

  std::vector<std::string>& journal;
  std::string name;
  int last_severity = 1;
  std::string last_path, last_base, last_text;
  int last_line = 0;
  int last_year = 0;
  uint64_t last_length = 0;
};

// Registers sinks for one test and takes them out again whatever happens.
class LogSinkTest : public ::testing::Test {
 protected:
  void add(fw::LogSink* sink) {
    fw::logSinks()->insert(sink);
    added_.push_back(sink);
  }
  void TearDown() override {
    for (fw::LogSink* sink : added_) fw::logSinks()->erase(sink);
  }

 private:
  std::vector<fw::LogSink*> added_;
};

TEST(LogBaseName, TakesTextAfterLastForwardSlashOnly) {
  EXPECT_EQ(baseName("/src/framework/log.cpp"), "log.cpp");
  EXPECT_EQ(baseName("a/b/"), "");
  EXPECT_EQ(baseName("C:\\work\\src\\node.cpp"), "C:\\work\\src\\node.cpp");
  EXPECT_EQ(baseName("plain.cpp"), "plain.cpp");
  EXPECT_EQ(baseName(""), "");
}

TEST_F(LogSinkTest, MessageReachesStandardErrorAndEverySinkThenFlushes) {
  std::vector<std::string> journal;
  // Two sinks in one array so their address order is known.
  RecordingSink sinks[2] = {{journal, "first"}, {journal, "second"}};
  add(&sinks[1]);
  add(&sinks[0]);

  testing::internal::CaptureStderr();
  fw::LogMessage("C:\\src\\dir/file.cpp", 42, "native", fw::kLogError).stream() << "abc";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "abc\n");

  const std::vector<std::string> expected = {"first.write", "second.write", "first.flush",
                                             "second.flush"};
  EXPECT_EQ(journal, expected);
  for (const RecordingSink& sink : sinks) {
    EXPECT_EQ(sink.last_severity, -2);
    EXPECT_EQ(sink.last_text, "abc\n");
    EXPECT_EQ(sink.last_length, 4u);
    EXPECT_EQ(sink.last_path, "C:\\src\\dir/file.cpp");
    EXPECT_EQ(sink.last_base, "file.cpp");
    EXPECT_EQ(sink.last_line, 42);
    EXPECT_GE(sink.last_year, 2020);
  }
}

TEST_F(LogSinkTest, EmptyTextIsALoneLineFeedAndNumbersStreamPlainly) {
  std::vector<std::string> journal;
  RecordingSink sink(journal, "s");
  add(&sink);

  testing::internal::CaptureStderr();
  { fw::LogMessage message("x.cpp", 1, "native", fw::kLogInfo); }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n");
  EXPECT_EQ(sink.last_length, 1u);
  EXPECT_EQ(sink.last_severity, 0);

  testing::internal::CaptureStderr();
  FW_LOG(fw::kLogWarning) << "Fail to adjust cache size: " << 12 << ' ' << 1.5;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fail to adjust cache size: 12 1.5\n");
  EXPECT_EQ(sink.last_severity, -1);
  EXPECT_EQ(sink.last_base, "log_test.cpp");
}

// Writes what it receives to standard error, so a dying process shows it.
struct EchoSink : fw::LogSink {
  void write(int, const char*, const char*, int, const struct tm*, const char*, uint64_t) override {
    fputs("sink-wrote ", stderr);
  }
  void flush() override { fputs("sink-flushed\n", stderr); }
};

TEST(LogFatalDeathTest, FatalAbortsAfterSinksWroteAndFlushed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EchoSink sink;
  EXPECT_DEATH(
      {
        fw::logSinks()->insert(&sink);
        FW_LOG(fw::kLogFatal) << "fatal text";
      },
      "fatal text\nsink-wrote sink-flushed");
}

// Counts calls; sinks may be called from several threads at once.
struct CountingSink : fw::LogSink {
  void write(int, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t length) override {
    writes.fetch_add(1);
    if (std::string(text, length) != "worker line\n") damaged.fetch_add(1);
  }
  void flush() override { flushes.fetch_add(1); }
  std::atomic<int> writes{0}, flushes{0}, damaged{0};
};

TEST_F(LogSinkTest, ManyThreadsLogThroughTwoSinks) {
  CountingSink a, b;
  add(&a);
  add(&b);
  constexpr int kThreads = 6, kLines = 200;
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kLines; ++i) FW_LOG(fw::kLogInfo) << "worker" << ' ' << "line";
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string err = testing::internal::GetCapturedStderr();

  for (CountingSink* sink : {&a, &b}) {
    EXPECT_EQ(sink->writes.load(), kThreads * kLines);
    EXPECT_EQ(sink->flushes.load(), kThreads * kLines);
    EXPECT_EQ(sink->damaged.load(), 0);
  }
  EXPECT_EQ(err.size(), std::string("worker line\n").size() * kThreads * kLines);
}

}  // namespace
