// Flight height and zoom of a located map, against a synthetic map whose ground is known:
// flat ground 120 m below the cameras with a roof cluster 25 m high on it.
#include "map_setup.h"
#include "points_fusion.h"
#include "terrain_fusion_double_for_tests.h"

#include "framework/config_store.h"
#include "framework/geodesy.h"
#include "framework/located_frame_for_tests.h"
#include "framework/slam.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace {

using fwtest::ListedMap;

// Zoom of a ground sample distance, worked out here from the Web-Mercator tile size.
int expectedZoom(double gsd, double latitude) {
  const double x =
      std::trunc(6378137.0 * 2 * M_PI * std::cos(latitude * M_PI / 180) / (256 * gsd) - 1.0);
  return x > 0 ? int(std::log(x) / std::log(2.0)) : 0;
}

struct Site {
  double latitude, longitude, ground;
  pi::Point3d world(double east, double north, double up) const {
    const double p = latitude * M_PI / 180, l = longitude * M_PI / 180;
    const pi::Point3d o = fw::geodeticToECEF(latitude, longitude, ground);
    return {o.x - std::sin(l) * east - std::sin(p) * std::cos(l) * north +
                std::cos(p) * std::cos(l) * up,
            o.y + std::cos(l) * east - std::sin(p) * std::sin(l) * north +
                std::cos(p) * std::sin(l) * up,
            o.z + std::cos(p) * north + std::sin(p) * up};
  }
  // Camera looking straight down at `height` above the ground point (east, 0), x east, y south.
  SE3 cameraPose(double east, double height) const {
    const double p = latitude * M_PI / 180, l = longitude * M_PI / 180;
    const pi::Point3d e(-std::sin(l), std::cos(l), 0);
    const pi::Point3d n(-std::sin(p) * std::cos(l), -std::sin(p) * std::sin(l), std::cos(p));
    const pi::Point3d u(std::cos(p) * std::cos(l), std::cos(p) * std::sin(l), std::sin(p));
    const fw::Matrix3 r = {e.x, -n.x, -u.x, e.y, -n.y, -u.y, e.z, -n.z, -u.z};
    fw::Quaternion q;
    fw::quaternionFromMatrix(r, q);
    return SE3(q, world(east, 0, height));
  }
};

// Frames over flat ground (a 5 m grid) with a 25 m roof cluster; each frame sees its own
// part of the ground.
std::vector<std::shared_ptr<fw::MapFrame>> surveyFrames(const Site& site, double height, int count,
                                                        double fx, bool withGps = true) {
  std::vector<pi::Point3d> points;
  for (double e = -80; e <= 80 * count; e += 5)
    for (double n = -60; n <= 60; n += 5) points.push_back(site.world(e, n, 0.0));
  for (double e = 0; e < 80 * count; e += 80)
    for (int k = 0; k < 12; ++k) points.push_back(site.world(e + k % 4, 10 + k / 4, 25.0));
  std::vector<std::shared_ptr<fw::MapFrame>> frames;
  for (int i = 0; i < count; ++i) {
    fwtest::LocatedFrameSpec spec;
    spec.id = uint64_t(i);
    spec.camera = {640, 480, fx, fx, 320, 240};
    spec.pose = site.cameraPose(80.0 * i, height);
    spec.gps = withGps ? std::vector<double>{site.longitude,
                                             site.latitude,
                                             site.ground + height,
                                             2,
                                             3,
                                             4,
                                             height,
                                             10,
                                             0,
                                             0,
                                             0,
                                             5,
                                             5,
                                             5}
                       : std::vector<double>();
    frames.push_back(fwtest::makeLocatedFrame(spec, points));
  }
  return frames;
}

TEST(MapSetup, HeightAndZoomOfAFlatSurveyWithARoofCluster) {
  const Site site{47.4, 8.5, 400.0};
  const auto frames = surveyFrames(site, 120.0, 5, 500.0);
  for (const auto& frame : frames) {
    const auto h = map_setup::heightAboveGround(map_setup::localKeyPoints(*frame));
    ASSERT_TRUE(h);
    EXPECT_NEAR(*h, 120.0, 0.05);
  }
  PointsFusion fusion("{}", nullptr);
  ASSERT_TRUE(fusion.calculateZoomLevel(std::make_shared<ListedMap>(frames)));
  EXPECT_EQ(fusion.zoomLevel(), expectedZoom(120.0 / 500.0, 47.4));
  EXPECT_TRUE(fusion.fetchGps());

  // gsd 0.05 m at latitude 0 gives zoom 21.
  const Site equator{0.0, 8.5, 0.0};
  ASSERT_TRUE(fusion.calculateZoomLevel(
      std::make_shared<ListedMap>(surveyFrames(equator, 25.0, 3, 500.0))));
  EXPECT_EQ(expectedZoom(0.05, 0.0), 21);
  EXPECT_EQ(fusion.zoomLevel(), 21);
}

TEST(MapSetup, ZoomAndGpsChoiceReachTerrainFusion) {
  terrain_double::reset();
  const Site site{47.4, 8.5, 400.0};
  {
    PointsFusion fusion(R"({"legacy_tf": {"method": "legacy_tf"}})", nullptr);
    fusion.fuseMap(std::make_shared<ListedMap>(surveyFrames(site, 120.0, 3, 500.0)));
  }
  const auto configs = terrain_double::configurations();
  ASSERT_EQ(configs.size(), 1u);
  const nlohmann::json tf = nlohmann::json::parse(configs[0]);
  EXPECT_EQ(tf.at("zoom_level"), expectedZoom(120.0 / 500.0, 47.4));
  EXPECT_EQ(tf.at("fetch_gps"), true);
}

TEST(MapSetup, SamplingStepKeepsVisitsBounded) {
  EXPECT_EQ(map_setup::samplingStep(100), 1u);     // 100 visits
  EXPECT_EQ(map_setup::samplingStep(101), 2u);     // 51
  EXPECT_EQ(map_setup::samplingStep(1000), 4u);    // 250
  EXPECT_EQ(map_setup::samplingStep(10000), 10u);  // 1000
}

TEST(MapSetup, WithoutGpsTheFakeHeightAndNoGpsFetch) {
  const Site site{47.4, 8.5, 400.0};
  PointsFusion fusion("{}", nullptr);
  ASSERT_TRUE(fusion.calculateZoomLevel(
      std::make_shared<ListedMap>(surveyFrames(site, 120.0, 3, 500.0, false))));
  const double fake = *fw::Var::instance().GetDouble("pointsfusion.fake_height", 200.0);
  EXPECT_EQ(fake, 200.0);
  const pi::Point3d origin = fw::Var::instance().GetPoint3d("pointsfusion.fake_origin");
  EXPECT_EQ(fusion.zoomLevel(), expectedZoom(200.0 / 500.0, origin.y));
  EXPECT_FALSE(fusion.fetchGps());
}

TEST(MapSetup, NoUsableFocalLengthOrMapLeavesTheZoomToTerrainFusion) {
  const Site site{47.4, 8.5, 400.0};
  PointsFusion fusion("{}", nullptr);
  EXPECT_FALSE(
      fusion.calculateZoomLevel(std::make_shared<ListedMap>(surveyFrames(site, 120.0, 2, 0.0))));
  EXPECT_EQ(fusion.zoomLevel(), -1);
  EXPECT_FALSE(fusion.calculateZoomLevel(nullptr));
  EXPECT_FALSE(fusion.calculateZoomLevel(
      std::make_shared<ListedMap>(std::vector<std::shared_ptr<fw::MapFrame>>{})));
  EXPECT_EQ(fusion.zoomLevel(), -1);
}

}  // namespace
