#include "geo_frame.h"

#include <gtest/gtest.h>

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
