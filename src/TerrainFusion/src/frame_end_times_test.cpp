#include "src/TerrainFusion/src/frame_end_times.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

TEST(FrameEndTimes, TheOldestTimeBoundsTheEvictionOnceTheHistoryIsFull) {
  FrameEndTimes times;
  EXPECT_FALSE(times.record(10.0, 2));
  EXPECT_FALSE(times.record(20.0, 2));
  EXPECT_EQ(times.record(30.0, 2), 10.0);
  // A time older than those kept still goes to the end; only the first bounds an eviction.
  EXPECT_EQ(times.record(5.0, 2), 20.0);
  EXPECT_EQ(times.size(), 2u);
  FrameEndTimes none;  // a history below one keeps one time
  EXPECT_FALSE(none.record(1.0, 0));
  EXPECT_EQ(none.record(2.0, 0), 1.0);
}

// Workers that end frames at once each get a bound of their own: every time recorded is
// either kept or handed out exactly once.
TEST(FrameEndTimes, ConcurrentWorkersEachTakeADifferentBound) {
  constexpr int kThreads = 4, kFrames = 200, kHistory = 3;
  FrameEndTimes times;
  std::vector<std::vector<double>> bounds(kThreads);
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kFrames; ++i) {
        if (const auto bound = times.record(double(w * kFrames + i), kHistory)) {
          bounds[w].push_back(*bound);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::vector<double> all;
  for (const auto& b : bounds) all.insert(all.end(), b.begin(), b.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.size(), size_t(kThreads * kFrames - kHistory));
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(times.size(), size_t(kHistory));
}

}  // namespace
