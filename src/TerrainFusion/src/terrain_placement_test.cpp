#include "src/TerrainFusion/src/terrain_placement.h"

#include "framework/geodesy.h"
#include "src/TerrainFusion/src/terrain_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(TerrainPlacementZoom, ConfiguredThenReadyRastersThenFirstFrame) {
  TerrainPlacement fresh;
  EXPECT_TRUE(fresh.zoomToCompute());
  EXPECT_FALSE(fresh.readyRasterZoomFixed());

  TerrainPlacement configured;
  configured.giveZoom(17);
  EXPECT_FALSE(configured.zoomToCompute());
  // Ready rasters still choose while nothing is placed, and only once.
  EXPECT_TRUE(configured.chooseZoomFromReadyRasters(19));
  EXPECT_EQ(configured.zoom(), 19);
  EXPECT_TRUE(configured.readyRasterZoomFixed());
  EXPECT_FALSE(configured.chooseZoomFromReadyRasters(12));
  EXPECT_EQ(configured.zoom(), 19);

  // Once a frame placed the run, ready rasters keep its zoom.
  TerrainPlacement placed;
  placed.setComputedZoom(20);
  placed.markPlaced();
  EXPECT_TRUE(placed.readyRasterZoomFixed());
  EXPECT_FALSE(placed.chooseZoomFromReadyRasters(15));
  EXPECT_EQ(placed.zoom(), 20);
  EXPECT_TRUE(placed.zoomToCompute());  // nobody gave it: the placing frame computed it
}

// The ENU frame at (latitude, longitude, height).
SE3 enuFrameAt(double latitude, double longitude, double height) {
  return SE3(terrain::enuRotation(longitude, latitude),
             fw::geodeticToECEF(latitude, longitude, height));
}

void expectNear(const cv::Vec3d& a, const pi::Point3d& b, double tolerance) {
  EXPECT_NEAR(a[0], b.x, tolerance);
  EXPECT_NEAR(a[1], b.y, tolerance);
  EXPECT_NEAR(a[2], b.z, tolerance);
}

TEST(TerrainPlacementFrames, GpsFramesAreAlreadyOnTheGlobe) {
  TerrainPlacement placement;
  const SE3 enu = enuFrameAt(30.5, 114.4, 40.0);
  placement.setEcefFromEnu(enu);
  // The reconstruction is ECEF: a point 10 m above the origin is 10 m up.
  const pi::Point3d ecef = fw::geodeticToECEF(30.5, 114.4, 50.0);
  const cv::Vec3d up = terrain::apply(placement.enuFromWorld(), {ecef.x, ecef.y, ecef.z});
  expectNear(up, pi::Point3d(0.0, 0.0, 10.0), 1e-6);
  expectNear(terrain::apply(placement.enuFromWorld(), {enu.t.x, enu.t.y, enu.t.z}),
             pi::Point3d(0, 0, 0), 1e-6);
}

TEST(TerrainPlacementFrames, LocalFramesGoThroughTheSimilarityAndBack) {
  TerrainPlacement placement;
  const SE3 enu = enuFrameAt(-12.0, 45.0, 0.0);
  // World metres are 2.5 m; the world's x axis points north, its origin 100 m east.
  const fw::Quaternion worldAxes = terrain::enuRotation(45.0, -12.0);
  const fw::Quaternion quarterTurn(0.0, 0.0, std::sqrt(0.5), std::sqrt(0.5));  // x to y
  const pi::Point3d east = enu.transformPoint({100.0, 0.0, 0.0});
  placement.setLocal(enu, Sim3(fw::quaternionProduct(worldAxes, quarterTurn), east, 2.5));
  const cv::Vec3d p = terrain::apply(placement.enuFromWorld(), {4.0, 0.0, 1.0});
  expectNear(p, pi::Point3d(100.0, 10.0, 2.5), 1e-6);

  cv::Matx34d worldFromEnu;
  ASSERT_TRUE(placement.worldFromEnu(worldFromEnu));
  expectNear(terrain::apply(worldFromEnu, p), pi::Point3d(4.0, 0.0, 1.0), 1e-9);

  TerrainPlacement flat;
  flat.setLocal(enu, Sim3(worldAxes, east, 0.0));
  EXPECT_FALSE(flat.worldFromEnu(worldFromEnu));
}

}  // namespace
