#include "sparse_ground_points.h"

#include "direct_georeferencing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <stdexcept>

namespace sfm {
namespace {

const double kLat = 30.52, kLon = 114.36;

struct CameraSetup {
  fw::Camera camera{std::vector<double>{640, 480, 500, 500, 319.5, 239.5}};
  SE3 pose;
  fw::Matrix3 ecef_from_enu = ecefFromEnu(kLat, kLon);
};

CameraSetup nadirAt(double altitude, GimbalAngles angles = {-90, 0, 0}) {
  CameraSetup s;
  s.pose = worldFromCamera(kLat, kLon, altitude, angles);
  return s;
}

// Local east-north-up coordinates of a world point, from the camera.
pi::Point3d local(const CameraSetup& s, const pi::Point3d& world) {
  return rotate(transpose(s.ecef_from_enu),
                {world.x - s.pose.t.x, world.y - s.pose.t.y, world.z - s.pose.t.z});
}

TEST(SparseGroundPoints, GridRaysMeetTheGroundAndCornerStacksBoundTheRelief) {
  const CameraSetup s = nadirAt(135.0);
  SparsePointOptions options;
  const auto points = sparseGroundPoints(s.camera, s.pose, s.ecef_from_enu, 100.0, options);
  const int ground = options.grid_columns * options.grid_rows;
  const int members = cornerStackSize(ground, 8);
  ASSERT_EQ(points.size(), static_cast<size_t>(ground + 8 * members));
  std::map<double, int> per_height;
  for (size_t i = 0; i < points.size(); ++i) {
    const pi::Point3d p = local(s, points[i].world);
    per_height[std::round(p.z * 1e6) / 1e6]++;
    EXPECT_GE(points[i].x, 0.0f);
    EXPECT_LE(points[i].x, 639.0f);
    EXPECT_GE(points[i].y, 0.0f);
    EXPECT_LE(points[i].y, 479.0f);
    // The point lies on the ray of its pixel.
    const pi::Point3d cam = s.pose.inverse().transformPoint(points[i].world);
    EXPECT_NEAR(cam.x / cam.z, (points[i].x - 319.5) / 500.0, 1e-9);
    EXPECT_NEAR(cam.y / cam.z, (points[i].y - 239.5) / 500.0, 1e-9);
  }
  // Three layers: the ground, and equal stacks 20 m above and below it.
  ASSERT_EQ(per_height.size(), 3u);
  EXPECT_EQ(per_height[-100.0], ground);
  EXPECT_EQ(per_height[-80.0], 4 * members);
  EXPECT_EQ(per_height[-120.0], 4 * members);
  // The grid spans the whole image, corners included.
  EXPECT_EQ(points.front().x, 0.0f);
  EXPECT_EQ(points.front().y, 0.0f);
  EXPECT_EQ(points[ground - 1].x, 639.0f);
  EXPECT_EQ(points[ground - 1].y, 479.0f);
}

TEST(SparseGroundPoints, StacksAreClusterCoresAndNeverOutnumberTheGround) {
  for (int ground : {12, 49, 50, 51, 99, 100, 300, 301, 1000, 4999}) {
    for (int stacks : {4, 8}) {
      const int m = cornerStackSize(ground, stacks);
      const int n = ground + stacks * m;
      EXPECT_GE(m - 1, n / 50) << ground << " " << stacks;
      EXPECT_LT(4 * m, ground) << ground << " " << stacks;
      // The smallest such stack: one member fewer would not be a core.
      if (m > 1) {
        EXPECT_LT(m - 2, (ground + stacks * (m - 1)) / 50);
      }
    }
  }
}

TEST(SparseGroundPoints, RaysAboveTheHorizonAddNoPoints) {
  // A level camera sees the ground only in the lower half of the image.
  const CameraSetup s = nadirAt(135.0, {0, 0, 0});
  SparsePointOptions options;
  const auto points = sparseGroundPoints(s.camera, s.pose, s.ecef_from_enu, 100.0, options);
  ASSERT_FALSE(points.empty());
  for (const SparsePoint& p : points) {
    EXPECT_GT(p.y, 239.5f);
    EXPECT_NEAR(local(s, p.world).z, -100.0, 20.0 + 1e-6);
  }
  // Only the two lower corners carry stacks.
  std::map<std::pair<float, float>, int> corners;
  for (const SparsePoint& p : points)
    if ((p.x == 0.0f || p.x == 639.0f) && p.y == 479.0f) corners[{p.x, p.y}]++;
  EXPECT_EQ(corners.size(), 2u);
  // A camera on or under the ground sees nothing.
  EXPECT_TRUE(sparseGroundPoints(s.camera, s.pose, s.ecef_from_enu, 0.0, options).empty());
  EXPECT_TRUE(sparseGroundPoints(s.camera, s.pose, s.ecef_from_enu, -5.0, options).empty());
}

TEST(SparseGroundPoints, OptionsAreChecked) {
  SparsePointOptions o;
  o.grid_columns = 3;
  EXPECT_THROW(o.check(), std::invalid_argument);
  o = {};
  o.relief_margin = 1.0;
  EXPECT_THROW(o.check(), std::invalid_argument);
  o = {};
  o.relief_margin = -0.1;
  EXPECT_THROW(o.check(), std::invalid_argument);
  o = {};
  EXPECT_NO_THROW(o.check());
}

}  // namespace
}  // namespace sfm
