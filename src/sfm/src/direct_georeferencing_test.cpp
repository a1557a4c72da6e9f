#include "direct_georeferencing.h"

#include "framework/geodesy.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sfm {
namespace {

// At latitude 0, longitude 0 the local axes are, in earth-centred coordinates:
// east = (0, 1, 0), north = (0, 0, 1), up = (1, 0, 0). The expected axes below are
// worked out by hand from that, independently of the rotation code.
const pi::Point3d kEast(0, 1, 0), kNorth(0, 0, 1), kUp(1, 0, 0);

pi::Point3d neg(const pi::Point3d& p) { return {-p.x, -p.y, -p.z}; }

void expectNear(const pi::Point3d& a, const pi::Point3d& b, const char* what,
                double tolerance = 1e-12) {
  EXPECT_NEAR(a.x, b.x, tolerance) << what;
  EXPECT_NEAR(a.y, b.y, tolerance) << what;
  EXPECT_NEAR(a.z, b.z, tolerance) << what;
}

// The world direction of a camera axis under the pose.
pi::Point3d axis(const SE3& pose, double x, double y, double z) {
  return fw::transformPoint(pose.q, {x, y, z});
}

TEST(DirectGeoreferencing, CameraAxesOfHandComputedAttitudes) {
  // Straight down, yaw 0: image right is east, image down is south, the view is down.
  SE3 pose = worldFromCamera(0, 0, 100, {-90, 0, 0});
  expectNear(axis(pose, 1, 0, 0), kEast, "x at yaw 0");
  expectNear(axis(pose, 0, 1, 0), neg(kNorth), "y at yaw 0");
  expectNear(axis(pose, 0, 0, 1), neg(kUp), "z at yaw 0");
  // Straight down, yaw 90 (heading east): image right is south, image down is west.
  pose = worldFromCamera(0, 0, 100, {-90, 90, 0});
  expectNear(axis(pose, 1, 0, 0), neg(kNorth), "x at yaw 90");
  expectNear(axis(pose, 0, 1, 0), neg(kEast), "y at yaw 90");
  // Straight down, yaw 180 (heading south): image right is west, image down is north.
  pose = worldFromCamera(0, 0, 100, {-90, 180, 0});
  expectNear(axis(pose, 1, 0, 0), neg(kEast), "x at yaw 180");
  expectNear(axis(pose, 0, 1, 0), kNorth, "y at yaw 180");
  // Level, yaw 0: the view is north, image down is down, image right is east.
  pose = worldFromCamera(0, 0, 100, {0, 0, 0});
  expectNear(axis(pose, 0, 0, 1), kNorth, "z level");
  expectNear(axis(pose, 0, 1, 0), neg(kUp), "y level");
  expectNear(axis(pose, 1, 0, 0), kEast, "x level");
  // Level and rolled 90 degrees right (right side down): image right points down.
  pose = worldFromCamera(0, 0, 100, {0, 0, 90});
  expectNear(axis(pose, 1, 0, 0), neg(kUp), "x rolled");
  // Pitched 30 degrees down while heading north: the view drops by 30 degrees.
  pose = worldFromCamera(0, 0, 100, {-30, 0, 0});
  const pi::Point3d view = axis(pose, 0, 0, 1);
  EXPECT_NEAR(view.z, std::cos(30 * M_PI / 180), 1e-12);
  EXPECT_NEAR(view.x, -std::sin(30 * M_PI / 180), 1e-12);
}

TEST(DirectGeoreferencing, PositionIsTheGpsPointAndAxesFollowTheLocalFrame) {
  const SE3 pose = worldFromCamera(0, 0, 100, {-90, 0, 0});
  EXPECT_NEAR(pose.t.x, 6378237.0, 1e-6);
  EXPECT_NEAR(pose.t.y, 0.0, 1e-6);
  EXPECT_NEAR(pose.t.z, 0.0, 1e-6);
  // Elsewhere the view of a nadir camera is the ellipsoid's downward normal.
  const double lat = 30.52, lon = 114.36;
  const SE3 p = worldFromCamera(lat, lon, 135.0, {-90, 37, 0});
  const pi::Point3d a = fw::geodeticToECEF(lat, lon, 135.0),
                    b = fw::geodeticToECEF(lat, lon, 134.0);
  expectNear(axis(p, 0, 0, 1), {b.x - a.x, b.y - a.y, b.z - a.z}, "nadir view", 1e-8);
  EXPECT_NEAR(p.t.x, a.x, 1e-9);
  // A metre east in the local frame keeps the height and moves the longitude eastward.
  const fw::Matrix3 e = ecefFromEnu(lat, lon);
  const pi::Point3d east = rotate(e, {1, 0, 0});
  const pi::Point3d g = fw::ecefToGeodetic(a.x + east.x, a.y + east.y, a.z + east.z);
  EXPECT_NEAR(g.z, 135.0, 1e-4);
  EXPECT_GT(g.y, lon);
  EXPECT_NEAR(g.x, lat, 1e-9);
}

TEST(DirectGeoreferencing, HeadingOfTravel) {
  const double lat = 30.52, lon = 114.36;
  const fw::Matrix3 e = ecefFromEnu(lat, lon);
  const pi::Point3d at = fw::geodeticToECEF(lat, lon, 100);
  auto headingTo = [&](double east, double north, double* yaw) {
    const pi::Point3d move = rotate(e, {east, north, 3.0});
    return travelHeading(at, {at.x + move.x, at.y + move.y, at.z + move.z}, lat, lon, yaw);
  };
  double yaw = 0;
  ASSERT_TRUE(headingTo(0, 20, &yaw));
  EXPECT_NEAR(yaw, 0.0, 1e-9);
  ASSERT_TRUE(headingTo(20, 0, &yaw));
  EXPECT_NEAR(yaw, 90.0, 1e-9);
  ASSERT_TRUE(headingTo(-5, -5, &yaw));
  EXPECT_NEAR(yaw, -135.0, 1e-6);
  // Climbing on the spot gives no direction.
  EXPECT_FALSE(headingTo(0.01, 0.01, &yaw));
}

}  // namespace
}  // namespace sfm
