#include "framework/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The row of `name` split into its count and the four duration columns.
struct Row {
  long count = -1;
  std::vector<std::string> durations;
};

Row rowOf(const std::string& report, const std::string& name) {
  Row row;
  const std::string head = fw::Timer::padText(name, 39) + " ";
  const auto at = report.find(head);
  if (at == std::string::npos) return row;
  std::string rest = report.substr(at + head.size());
  rest = rest.substr(0, rest.find('\n'));
  row.count = std::stol(rest.substr(0, 6));
  for (size_t pos = 8; pos + 6 <= rest.size(); pos += 8)
    row.durations.push_back(rest.substr(pos, 6));
  return row;
}

TEST(TimerFormat, DurationsScaleToAUnitLetter) {
  EXPECT_EQ(fw::Timer::formatDuration(0.0123), " 12.3m");
  EXPECT_EQ(fw::Timer::formatDuration(2.5), "  2.5 ");
  EXPECT_EQ(fw::Timer::formatDuration(0), "  0.0p");
  EXPECT_EQ(fw::Timer::formatDuration(1500), "  1.5K");
  EXPECT_EQ(fw::Timer::formatDuration(3e-7), "300.0n");
  EXPECT_EQ(fw::Timer::formatDuration(2e13), " 20.0T");
  EXPECT_EQ(fw::Timer::formatDuration(-1), "  0.0p");
}

TEST(TimerFormat, PadTextCutsLongNamesIntoPaddedPieces) {
  EXPECT_EQ(fw::Timer::padText("", 39), "");
  EXPECT_EQ(fw::Timer::padText("abc", 5), "abc  ");
  const std::string name(45, 'n');
  EXPECT_EQ(fw::Timer::padText(name, 39),
            std::string(39, 'n') + "\n" + std::string(6, 'n') + std::string(33, ' '));
}

TEST(Timer, ReportHasBannersHeaderAndOneRowPerSection) {
  fw::Timer timer;
  timer.enter("DenseDepth::AddFrame");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  timer.leave("DenseDepth::AddFrame");
  timer.leave("never.entered");
  const std::string report = timer.report();
  const std::string expected_head =
      std::string(36, '-') + "  Timer report " + std::string(36, '-') + "\n" +
      "           FUNCTION                       #CALLS  MIN.T  MEAN.T  MAX.T  TOTAL \n" +
      std::string(87, '-') + "\n" + fw::Timer::padText("DenseDepth::AddFrame", 39) + "      1  ";
  EXPECT_EQ(report.rfind(expected_head, 0), 0u) << report;
  EXPECT_NE(report.find(fw::Timer::padText("never.entered", 39) +
                        "      0    0.0ps   0.0ps   0.0ps   0.0ps\n"),
            std::string::npos)
      << report;
  const std::string tail =
      std::string(33, '-') + " End of Timer report " + std::string(33, '-') + "\n";
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);

  const Row once = rowOf(report, "DenseDepth::AddFrame");
  ASSERT_EQ(once.durations.size(), 4u);
  // One section: minimum, mean, maximum and total are the same duration, in milliseconds.
  for (const std::string& d : once.durations) EXPECT_EQ(d, once.durations[0]);
  EXPECT_EQ(once.durations[0].back(), 'm');
}

TEST(Timer, NestedEntriesPairLastInFirstOutAndSetMinimumFromFirstLeave) {
  fw::Timer timer;
  timer.enter("outer");
  timer.enter("outer");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  timer.leave("outer");
  timer.leave("outer");
  timer.leave("outer");  // one leave too many: no change
  const Row row = rowOf(timer.report(), "outer");
  EXPECT_EQ(row.count, 2);
  ASSERT_EQ(row.durations.size(), 4u);
  EXPECT_NE(row.durations[0], "  0.0p");  // minimum comes from a real section
  EXPECT_EQ(row.durations[0].back(), 'm');
}

TEST(Timer, LongNameContinuesOnNextLineBeforeItsCount) {
  fw::Timer timer;
  const std::string name(45, 'q');
  timer.leave(name);
  const std::string report = timer.report();
  EXPECT_NE(report.find(std::string(39, 'q') + "\n" + std::string(6, 'q') + std::string(33, ' ') +
                        "      0  "),
            std::string::npos);
}

TEST(Timer, DestructionPrintsReportOnlyWithRecords) {
  testing::internal::CaptureStdout();
  { fw::Timer empty; }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  {
    fw::Timer timer;
    timer.enter("s");
    timer.leave("s");
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("\n-----", 0), 0u);
  EXPECT_NE(out.find("End of Timer report"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 3), "-\n\n");
}

TEST(Timer, EachThreadHasItsOwnTimerReportedAtThreadEnd) {
  fw::Timer* main_timer = &fw::Timer::instance();
  EXPECT_EQ(main_timer, &fw::Timer::instance());
  testing::internal::CaptureStdout();
  std::vector<fw::Timer*> timers(2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&timers, t] {
      timers[t] = &fw::Timer::instance();
      timers[t]->enter("TerrainFusion::stitchDSM");
      timers[t]->leave("TerrainFusion::stitchDSM");
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(timers[0], main_timer);
  // Two reports, each with a single call of the section.
  const std::string row = fw::Timer::padText("TerrainFusion::stitchDSM", 39) + "      1  ";
  const auto first = out.find(row);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(out.find(row, first + 1), std::string::npos);
}

}  // namespace
