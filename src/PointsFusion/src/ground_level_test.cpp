#include "src/PointsFusion/src/ground_level.h"

#include <gtest/gtest.h>

namespace {

TEST(GroundLevel, NoHeightsNoGround) { EXPECT_FALSE(groundLevel({})); }

TEST(GroundLevel, RoofsAndTreesDoNotLiftTheGround) {
  // Seven points on the ground 100 m below the camera, two on a roof 30 m above it.
  const auto ground = groundLevel({-100, -101, -99, -100.5, -99.5, -100, -100, -70, -71});
  ASSERT_TRUE(ground);
  EXPECT_TRUE(ground->clustered);
  EXPECT_EQ(ground->count, 7u);
  EXPECT_NEAR(ground->offset, -100.0, 1e-12);
}

TEST(GroundLevel, TheLargerOfTwoClustersAndAllHeightsWithoutOne) {
  const auto larger = groundLevel({-50, -50, -50, -50, -50, -50, -200, -200, -200, -200, -200});
  ASSERT_TRUE(larger);
  EXPECT_EQ(larger->count, 6u);
  EXPECT_DOUBLE_EQ(larger->offset, -50.0);
  // Four points are too few for a cluster: every height counts.
  const auto scattered = groundLevel({-10, -40, -90, -160});
  ASSERT_TRUE(scattered);
  EXPECT_FALSE(scattered->clustered);
  EXPECT_EQ(scattered->count, 4u);
  EXPECT_DOUBLE_EQ(scattered->offset, -75.0);
}

}  // namespace
