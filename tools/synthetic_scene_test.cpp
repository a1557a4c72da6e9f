#include "synthetic_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace flight {
namespace {

SceneOptions smallArea() {
  SceneOptions o;
  o.east_min = -80;
  o.east_max = 80;
  o.north_min = -70;
  o.north_max = 70;
  o.texel = 0.2;
  return o;
}

TEST(SyntheticScene, HasARoadAtTakeOffHeightAndReliefWithinTwentyMetres) {
  const SyntheticScene scene(smallArea());
  for (double n = -60; n <= 60; n += 7.5) {
    EXPECT_EQ(scene.surfaceHeight(0.0, n), 0.0) << n;
    EXPECT_EQ(scene.surfaceHeight(3.5, n), 0.0) << n;
  }
  EXPECT_GE(scene.minHeight(), -20.0);
  EXPECT_LE(scene.maxHeight(), 20.0);
  // Real relief: hills, a hollow and buildings well above the ground they stand on.
  double lowest = 0, highest = 0;
  for (double e = -75; e <= 75; e += 2.5)
    for (double n = -65; n <= 65; n += 2.5) {
      lowest = std::min(lowest, scene.groundHeight(e, n));
      highest = std::max(highest, scene.groundHeight(e, n));
    }
  EXPECT_LT(lowest, -2.0);
  EXPECT_GT(highest, 3.0);
  ASSERT_GE(scene.buildings().size(), 2u);
  for (const Building& b : scene.buildings()) {
    const double e = (b.east0 + b.east1) / 2, n = (b.north0 + b.north1) / 2;
    EXPECT_GE(b.roof - scene.groundHeight(e, n), 6.0);
    EXPECT_EQ(scene.surfaceHeight(e, n), b.roof);
  }
}

TEST(SyntheticScene, RaysMeetRoofsGroundAndVerticalWalls) {
  const SyntheticScene scene(smallArea());
  const Building& b = scene.buildings().front();
  SurfaceHit hit;
  // Straight down onto the roof and onto the ground beside the building.
  ASSERT_TRUE(
      scene.intersect({(b.east0 + b.east1) / 2, (b.north0 + b.north1) / 2, 100}, {0, 0, -1}, &hit));
  EXPECT_NEAR(hit.point[2], b.roof, 1e-9);
  EXPECT_NEAR(hit.t, 100 - b.roof, 1e-9);
  const double beside_e = b.east0 - 1.0, beside_n = (b.north0 + b.north1) / 2;
  ASSERT_TRUE(scene.intersect({beside_e, beside_n, 100}, {0, 0, -1}, &hit));
  EXPECT_NEAR(hit.point[2], scene.groundHeight(beside_e, beside_n), 1e-6);
  // A ray heading east just below the roof line meets the west wall at its east coordinate.
  const double z = b.roof - 0.5;
  ASSERT_TRUE(scene.intersect({b.east0 - 0.5, beside_n, z + 0.05}, {1.0, 0.0, -0.1}, &hit));
  EXPECT_NEAR(hit.point[0], b.east0, 1e-9);
  EXPECT_NEAR(hit.point[2], z, 1e-9);
  // Looking up or leaving the area meets nothing.
  EXPECT_FALSE(scene.intersect({0, 0, 100}, {0, 0, 1}, &hit));
  EXPECT_FALSE(scene.intersect({0, 0, 100}, {10, 0, -0.01}, &hit));
}

TEST(SyntheticScene, RastersAndMarkersAgreeWithTheSurface) {
  const SyntheticScene scene(smallArea());
  const SceneOptions& o = scene.options();
  const cv::Mat height = scene.heightMap();
  ASSERT_EQ(height.size(), scene.orthophoto().size());
  EXPECT_EQ(height.cols, 800);
  EXPECT_EQ(height.rows, 700);
  for (int r = 0; r < height.rows; r += 37)
    for (int c = 0; c < height.cols; c += 41) {
      EXPECT_FLOAT_EQ(height.at<float>(r, c),
                      static_cast<float>(scene.surfaceHeight(o.east_min + (c + 0.5) * o.texel,
                                                             o.north_max - (r + 0.5) * o.texel)));
    }
  ASSERT_GT(scene.markers().size(), 20u);
  for (const cv::Vec3d& m : scene.markers()) {
    EXPECT_EQ(m[2], scene.surfaceHeight(m[0], m[1]));
    // The whole marker lies on one surface: no wall crosses it.
    const double reach = o.marker_radius + 0.5;
    for (double de : {-reach, reach})
      for (double dn : {-reach, reach})
        EXPECT_NEAR(scene.surfaceHeight(m[0] + de, m[1] + dn), m[2], 0.5);
  }
}

TEST(SyntheticScene, SameSeedSameScene) {
  const SyntheticScene a(smallArea()), b(smallArea());
  EXPECT_EQ(cv::norm(a.orthophoto(), b.orthophoto(), cv::NORM_INF), 0.0);
  SceneOptions other = smallArea();
  other.seed = 8;
  EXPECT_GT(cv::norm(a.orthophoto(), SyntheticScene(other).orthophoto(), cv::NORM_L1), 0.0);
}

}  // namespace
}  // namespace flight
