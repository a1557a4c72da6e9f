#include "tiles/store_timings.h"

#include <gtest/gtest.h>

namespace {

StoreTimings::Clock::time_point at(int64_t nanoseconds) {
  return StoreTimings::Clock::time_point(std::chrono::nanoseconds(nanoseconds));
}

TEST(StoreTimings, PhasesAreTheStepsBetweenPointsThenTheWholeSpan) {
  EXPECT_EQ(StoreTimings::phases({at(100), at(130), at(180), at(400)}),
            (std::array<int64_t, 4>{30, 50, 220, 300}));
  EXPECT_EQ(StoreTimings::phases({at(5), at(5), at(9)}), (std::array<int64_t, 3>{0, 4, 4}));
}

}  // namespace
