#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/calc_plane.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using nlohmann::json;

constexpr double kLatitude = 30.52, kLongitude = 114.36, kGround = 35.0;

SE3 nadirPose(const cv::Vec3d& position, const cv::Matx33d& worldFromEnu) {
  const cv::Matx33d r = worldFromEnu * flight::enuFromCamera(-90.0, 0.0, 0.0);
  fw::Quaternion q;
  fw::quaternionFromMatrix(
      fw::Matrix3{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)},
      q);
  return SE3(q, pi::Point3d(position[0], position[1], position[2]));
}

// A GPS frame 100 m above the ground whose key points lie at the given ENU heights
// relative to the camera, spread on a small grid below it.
std::shared_ptr<fw::MapFrame> gpsFrame(const std::vector<double>& heights, double sigma = 0.02,
                                       uint64_t id = 1) {
  const cv::Vec3d camera = flight::ecefFromGeodetic(kLatitude, kLongitude, kGround + 100.0);
  const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(kLatitude, kLongitude);
  std::vector<pi::Point3d> points;
  for (size_t i = 0; i < heights.size(); ++i) {
    const cv::Vec3d p =
        camera + ecefFromEnu * cv::Vec3d(double(i % 4) - 1.5, double(i / 4) - 1.0, heights[i]);
    points.emplace_back(p[0], p[1], p[2]);
  }
  fwtest::LocatedFrameSpec spec;
  spec.id = id;
  spec.camera = {1000, 750, 850, 850, 499.5, 374.5};
  spec.gps = {kLongitude, kLatitude, kGround + 100.0, sigma, sigma, sigma, 100, 1, -90, 0, 0, 1,
              1,          1};
  spec.pose = nadirPose(camera, ecefFromEnu);
  return fwtest::makeLocatedFrame(spec, points);
}

// A frame of a local reconstruction: camera at `position` (units), looking down at a flat
// grid of key points on z = 0, pose scale `scale`.
std::shared_ptr<fw::MapFrame> localFrame(const cv::Vec3d& position, double scale,
                                         double fx = 4000.0) {
  std::vector<pi::Point3d> ground;
  for (int i = -5; i <= 5; ++i) {
    for (int j = -5; j <= 5; ++j)
      ground.emplace_back(position[0] + i * 2.0, position[1] + j * 2.0, 0.0);
  }
  fwtest::LocatedFrameSpec spec;
  spec.camera = {1000, 750, fx, fx, 499.5, 374.5};
  spec.pose = nadirPose(position, cv::Matx33d::eye());
  auto frame = fwtest::makeLocatedFrame(spec, ground);
  frame->setPose(Sim3(spec.pose.q, spec.pose.t, scale));
  return frame;
}

TEST(HeightOffset, LargestClusterOrAllPoints) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  auto node = tftest::makeNode(dir.path());
  ASSERT_TRUE(node->fixPlacementAndZoom(gpsFrame({-50, -51, -52, -53, -54, -55, -56, -120})));
  EXPECT_FLOAT_EQ(node->heightOffset(), -53.0f);
  EXPECT_EQ(log.count("Terrainfusion Height Offset: -53, cluster size: 7"), 1u);
  // GSD 53 / 850 at 30.52 degrees.
  EXPECT_EQ(node->zoomLevel(), node->projection()->zoomForGsd(53.0 / 850.0, kLatitude));

  auto five = tftest::makeNode(dir.path() / "five");
  ASSERT_TRUE(five->fixPlacementAndZoom(gpsFrame({-50, -51, -52, -53, -59})));
  EXPECT_FLOAT_EQ(five->heightOffset(), -53.0f);
  EXPECT_EQ(log.count(", pointCloud size: 5"), 1u);
}

// A frame that cannot place the run changes nothing and leaves the choice to the next one.
TEST(HeightOffset, FailingFirstFramesChangeNothing) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path(), {{"dom", {{"max_zoom_level", 19}}}});
  for (const auto& bad :
       {gpsFrame({-100, -100, -100}, 100.0), gpsFrame({}), gpsFrame({-100, -100}, std::nan(""))}) {
    EXPECT_FALSE(node->fixPlacementAndZoom(bad));
    EXPECT_EQ(node->zoomLevel(), 0);
    EXPECT_EQ(node->enuFrame().t, pi::Point3d(0, 0, 0));
    EXPECT_FALSE(node->calcHeightOffsetAndZoom(bad, true));
  }
  const auto good = gpsFrame(std::vector<double>(12, -100.0));
  ASSERT_TRUE(node->fixPlacementAndZoom(good));
  EXPECT_EQ(node->zoomLevel(), 19);  // 20 capped by the maximum
  EXPECT_EQ(node->enuFrame().t, good->getPoseSE3().t);
  EXPECT_EQ(node->tileManager()->GetLevel(), 19u);
  // Later frames, even far off, keep zoom and placement.
  EXPECT_TRUE(node->fixPlacementAndZoom(gpsFrame(std::vector<double>(12, -300.0), 0.02, 2)));
  EXPECT_TRUE(node->fixPlacementAndZoom(localFrame({0, 0, 100}, 100.0)));
  EXPECT_EQ(node->zoomLevel(), 19);
  EXPECT_FLOAT_EQ(node->heightOffset(), -100.0f);
}

TEST(LocalPlacement, PlaneAtFakeOriginAndZoomFromFakeHeight) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path(),
                               {{"specific",
                                 {{"terrainfusion.fake_origin", {kLongitude, kLatitude, kGround}},
                                  {"terrainfusion.fake_height", 200.0}}}});
  const auto frame = localFrame({3, 4, 100}, 100.0);
  ASSERT_TRUE(node->fixPlacementAndZoom(frame));
  // fake height 200 and fx 4000: GSD 0.05 m.
  EXPECT_EQ(node->zoomLevel(), node->projection()->zoomForGsd(0.05, kLatitude));
  const auto heightOf = [&](const pi::Point3d& p) {
    const pi::Point3d e = node->localPlacement().transformPoint(p);
    return fw::ecefToGeodetic(e.x, e.y, e.z);
  };
  EXPECT_NEAR(heightOf({3, 4, 0}).z, kGround, 0.01);
  EXPECT_NEAR(heightOf({3, 4, 100}).z, kGround + 200.0, 0.01);
  EXPECT_NEAR(heightOf({3, 4, 0}).x, kLatitude, 1e-6);
  // The next local frame keeps the placement.
  const Sim3 placed = node->localPlacement();
  EXPECT_TRUE(node->fixPlacementAndZoom(localFrame({30, 4, 100}, 50.0)));
  EXPECT_EQ(node->localPlacement().t, placed.t);
  // A pose scale that is not positive fails the placement.
  auto other = tftest::makeNode(dir.path() / "other");
  EXPECT_FALSE(other->fixPlacementAndZoom(localFrame({0, 0, 100}, 0.0)));
  EXPECT_FALSE(other->fixPlacementAndZoom(localFrame({0, 0, 100}, std::nan(""))));
}

TEST(ReadyRasterZoom, FixedOnceAndCapped) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path(), {{"dom", {{"max_zoom_level", 19}}},
                                            {"specific", {{"terrainfusion.auto_zoom", 1}}}});
  node->fixZoomFromReadyRasters(18, 3);
  EXPECT_EQ(node->zoomLevel(), 19);
  node->fixZoomFromReadyRasters(12, 3);
  EXPECT_EQ(node->zoomLevel(), 19);
  // The first point frame still places the run, and keeps the zoom.
  const auto frame = gpsFrame(std::vector<double>(12, -10.0));
  ASSERT_TRUE(node->fixPlacementAndZoom(frame));
  EXPECT_EQ(node->enuFrame().t, frame->getPoseSE3().t);
  EXPECT_EQ(node->zoomLevel(), 19);
}

// A tilted plane with noise and 20% outliers: normal within 0.5 degrees, same on every run.
TEST(CalcPlane, RobustAndRepeatable) {
  const cv::Vec3d normal = cv::normalize(cv::Vec3d(0.3, -0.2, 1.0));
  const cv::Vec3d u = cv::normalize(normal.cross(cv::Vec3d(0, 1, 0))), v = normal.cross(u);
  cv::RNG rng(11);
  std::vector<pi::Point3d> points;
  for (int i = 0; i < 500; ++i) {
    cv::Vec3d p = cv::Vec3d(2, 1, 30) + u * rng.uniform(-20.0, 20.0) + v * rng.uniform(-20.0, 20.0);
    p += normal * (i % 5 == 0 ? rng.uniform(-8.0, 8.0) : rng.gaussian(0.02));
    points.emplace_back(p[0], p[1], p[2]);
  }
  SE3 first, second;
  std::vector<int> outliers, again;
  std::mt19937 a(20240607u), b(20240607u);
  ASSERT_TRUE(CalcPlane(points, first, outliers, 0.1, a));
  ASSERT_TRUE(CalcPlane(points, second, again, 0.1, b));
  const pi::Point3d z = fw::transformPoint(first.q, pi::Point3d(0, 0, 1));
  EXPECT_LT(
      std::acos(std::min(1.0, z.x * normal[0] + z.y * normal[1] + z.z * normal[2])) * 180.0 / M_PI,
      0.5);
  EXPECT_EQ(first.t, second.t);
  EXPECT_EQ(outliers, again);
  EXPECT_NEAR(double(outliers.size()), 100.0, 10.0);

  // Too few points, or points on one line, give no plane and leave the outputs alone.
  SE3 untouched;
  std::vector<int> none;
  std::vector<pi::Point3d> line;
  for (int i = 0; i < 30; ++i) line.emplace_back(i, 2.0 * i, 1.0);
  EXPECT_FALSE(CalcPlane(line, untouched, none, 0.1, a));
  EXPECT_FALSE(CalcPlane(std::vector<pi::Point3d>(points.begin(), points.begin() + 9), untouched,
                         none, 0.1, a));
  EXPECT_EQ(untouched.t, pi::Point3d(0, 0, 0));
  EXPECT_TRUE(none.empty());
}

}  // namespace
