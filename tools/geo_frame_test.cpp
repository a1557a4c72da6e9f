#include "geo_frame.h"

#include <gtest/gtest.h>

#include <cmath>

namespace flight {
namespace {

void expectAxis(const cv::Matx33d& r, int column, const cv::Vec3d& expected) {
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(r(k, column), expected[k], 1e-12) << "column " << column << " row " << k;
}

TEST(GeoFrame, GimbalAnglesGiveTheCameraAxesInEastNorthUp) {
  const cv::Vec3d east(1, 0, 0), north(0, 1, 0), up(0, 0, 1);
  // Straight down, heading north: image right is east, image down is south.
  cv::Matx33d r = enuFromCamera(-90, 0, 0);
  expectAxis(r, 0, east);
  expectAxis(r, 1, -north);
  expectAxis(r, 2, -up);
  // Straight down, heading east: image right is south, image down is west.
  r = enuFromCamera(-90, 90, 0);
  expectAxis(r, 0, -north);
  expectAxis(r, 1, -east);
  // Level, heading north: the camera looks north, image down is down.
  r = enuFromCamera(0, 0, 0);
  expectAxis(r, 2, north);
  expectAxis(r, 1, -up);
  expectAxis(r, 0, east);
  // Rolled right by 90 degrees while level: image down points west.
  r = enuFromCamera(0, 0, 90);
  expectAxis(r, 1, -east);
}

TEST(GeoFrame, GimbalAnglesOfAnOrientationGiveItBack) {
  // Tilted, nadir, looking slightly backward past nadir, and level.
  const cv::Vec3d cases[] = {{-80, 30, 10},   {-90, 0, 0},  {-90, 135, 0}, {-85, -170, -95},
                             {-60, -45, 120}, {-95, 10, 5}, {0, 0, 0},     {-89.999, 20, 40}};
  for (const cv::Vec3d& a : cases) {
    const cv::Matx33d r = enuFromCamera(a[0], a[1], a[2]);
    const cv::Vec3d back = gimbalAngles(r);
    EXPECT_LT(cv::norm(enuFromCamera(back[0], back[1], back[2]) - r, cv::NORM_INF), 1e-6) << a;
    EXPECT_GE(back[0], -90.0);
    EXPECT_LE(back[0], 90.0);
  }
  // Away from nadir the angles themselves come back.
  const cv::Vec3d back = gimbalAngles(enuFromCamera(-70, 30, 10));
  EXPECT_NEAR(back[0], -70, 1e-9);
  EXPECT_NEAR(back[1], 30, 1e-9);
  EXPECT_NEAR(back[2], 10, 1e-9);
}

TEST(GeoFrame, ABodyFixedCameraTiltsWithTheAircraft) {
  const cv::Vec3d east(1, 0, 0), north(0, 1, 0), up(0, 0, 1);
  // Level flight: the gimbal camera's nadir view with its yaw at the heading.
  for (const double heading : {0.0, 37.0, -120.0}) {
    EXPECT_LT(
        cv::norm(enuFromBodyCamera(heading, 0, 0) - enuFromCamera(-90, heading, 0), cv::NORM_INF),
        1e-12);
  }
  // Heading north, right wing down: the belly and the camera face west, out of a right turn.
  cv::Matx33d r = enuFromBodyCamera(0, 0, 90);
  expectAxis(r, 2, -east);
  expectAxis(r, 1, -north);  // the image's top still toward the nose
  // Nose up: the belly and the camera face ahead, north, the image's top to the sky.
  r = enuFromBodyCamera(0, 90, 0);
  expectAxis(r, 2, north);
  expectAxis(r, 1, -up);
  expectAxis(r, 0, east);
  // A small bank tilts the view by as much.
  r = enuFromBodyCamera(0, 0, 10);
  EXPECT_NEAR(std::acos(-r(2, 2)) * 180 / M_PI, 10.0, 1e-9);
  EXPECT_LT(r(0, 2), 0.0);
}

TEST(GeoFrame, UpAxisFollowsTheEllipsoidNormal) {
  // A metre up in the local frame raises the geodetic height by a metre.
  const double lat = 30.52, lon = 114.36;
  const cv::Vec3d base = ecefFromGeodetic(lat, lon, 10);
  const cv::Vec3d g = geodeticFromEcef(base + ecefFromEnu(lat, lon) * cv::Vec3d(0, 0, 1));
  EXPECT_NEAR(g[2], 11.0, 1e-4);
  EXPECT_NEAR(g[0], lat, 1e-9);
  const cv::Matx33d r = ecefFromEnu(lat, lon);
  const cv::Matx33d should_be_eye = r.t() * r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(should_be_eye(i, j), i == j ? 1.0 : 0.0, 1e-12);
}

}  // namespace
}  // namespace flight
