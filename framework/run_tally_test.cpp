#include "framework/run_tally.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(RunTally, SummaryListsEveryCountInOrderThenFailuresByReason) {
  fw::RunTally tally;
  tally.add(fw::tally::kDomTiles, 12);
  tally.add(fw::tally::kFramesRead, 16);
  tally.fail(fw::tally::kDepthMaps, "no overlap");
  tally.fail(fw::tally::kDepthMaps, "too few valid pixels");
  tally.fail(fw::tally::kDepthMaps, "no overlap");
  EXPECT_EQ(tally.summary(),
            "frames read 16, frames located 0, frames refined 0, depth maps 0, points 0, "
            "frames in the point cloud 0, frames in the DOM/DSM 0, DOM tiles 12, DSM tiles 0; "
            "depth maps failed 3 (no overlap 2, too few valid pixels 1)");
  EXPECT_EQ(tally.failures(fw::tally::kDepthMaps), 3);
  EXPECT_EQ(tally.failures(fw::tally::kFramesLocated), 0);
  tally.fail(fw::tally::kPointCloudFrames, "not written", 4);
  EXPECT_EQ(tally.failures(fw::tally::kPointCloudFrames), 4);
  tally.reset();
  EXPECT_EQ(tally.count(fw::tally::kDomTiles), 0);
}

TEST(RunTally, CountsFromManyThreadsAddUp) {
  fw::RunTally tally;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        tally.add(fw::tally::kPoints, 2);
        tally.fail(fw::tally::kDepthMaps, "no overlap");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(tally.count(fw::tally::kPoints), 16000);
  EXPECT_EQ(tally.failures(fw::tally::kDepthMaps), 8000);
}

}  // namespace
