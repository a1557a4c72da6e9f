#include "src/TerrainFusion/src/terrain_frame_count.h"

#include "framework/run_tally.h"

#include <gtest/gtest.h>

namespace {

TEST(TerrainFrameCount, CountsMergedFailedAndRefusedFramesIntoTheRunsTallyToo) {
  fw::RunTally& tally = fw::RunTally::instance();
  const long long merged = tally.count(fw::tally::kTerrainFrames);
  const long long failures = tally.failures(fw::tally::kTerrainFrames);
  TerrainFrameCount frames;
  EXPECT_FALSE(frames.noneMerged());  // no frame given is not a failed run
  frames.count("no points");
  EXPECT_TRUE(frames.noneMerged());
  EXPECT_TRUE(frames.refuse());
  EXPECT_FALSE(frames.refuse());  // only the first refusal is news
  EXPECT_EQ(frames.given(), 3u);
  EXPECT_EQ(frames.failed(), 3u);
  EXPECT_EQ(frames.refused(), 2u);
  frames.count("");
  EXPECT_FALSE(frames.noneMerged());
  EXPECT_EQ(tally.count(fw::tally::kTerrainFrames), merged + 1);
  EXPECT_EQ(tally.failures(fw::tally::kTerrainFrames), failures + 3);
}

}  // namespace
