#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"

#include <gtest/gtest.h>

namespace {

using Local = TerrainFusion::LocalDSMData;

struct Rasters {
  cv::Mat dsm = cv::Mat(64, 64, CV_32FC1, cv::Scalar(12.5f));
  cv::Mat dom = cv::Mat(256, 256, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat weight = cv::Mat(256, 256, CV_8UC1, cv::Scalar(200));
};

class ReadyRasters : public ::testing::Test {
 protected:
  std::shared_ptr<TerrainFusion> nodeAtZoom(int zoom) {
    auto node = tftest::makeNode(dir.path() / std::to_string(zoom),
                                 {{"zoom_level", zoom}, {"fetch_gps", true}});
    EXPECT_EQ(node->zoomLevel(), zoom);
    return node;
  }
  vmtest::TempDir dir;
  std::shared_ptr<fw::MapFrame> frame = std::make_shared<fw::MapFrame>(3, 42.0);
};

TEST_F(ReadyRasters, SpreadOverTheTilesOfTheNodeZoom) {
  auto node = nodeAtZoom(18);
  Rasters r;
  auto local = std::make_shared<Local>();
  ASSERT_TRUE(node->makeMapFromDsmDom(7, {3, 5}, 18, frame, local, r.dsm, r.dom, r.weight));
  EXPECT_EQ(local->firstTile, pi::Point2ll(3, 5));
  EXPECT_EQ(local->lastTile, pi::Point2ll(3, 5));
  EXPECT_EQ(local->dsm.size(), cv::Size(64, 64));
  EXPECT_EQ(local->timestamp, 42.0);
  EXPECT_TRUE(r.dom.empty() && r.dsm.empty() && r.weight.empty());

  Rasters s;
  s.weight = cv::Mat(100, 80, CV_8UC1, cv::Scalar(9));
  local = std::make_shared<Local>();
  ASSERT_TRUE(node->makeMapFromDsmDom(7, {3, 5}, 16, frame, local, s.dsm, s.dom, s.weight));
  EXPECT_EQ(local->firstTile, pi::Point2ll(12, 20));
  EXPECT_EQ(local->lastTile, pi::Point2ll(15, 23));
  EXPECT_EQ(local->firstTileOrigin, pi::Point2ll(12 * 256, 20 * 256));
  EXPECT_EQ(local->width, 1024);
  EXPECT_EQ(local->dsm.size(), cv::Size(256, 256));
  EXPECT_EQ(local->weight.size(), cv::Size(1024, 1024));
  EXPECT_EQ(local->dsm.at<float>(100, 200), 12.5f);
  EXPECT_EQ(local->dom.at<cv::Vec3b>(500, 500), cv::Vec3b(10, 20, 30));
}

// Each refusal names the rasters and its reason; the inputs stay as they were.
TEST_F(ReadyRasters, UnusableInputIsRefused) {
  auto node = nodeAtZoom(20);
  store_test::LogCapture log;
  const auto refused = [&](int sourceZoom, pi::Point2ll tile,
                           const std::function<void(Rasters&)>& spoil,
                           std::shared_ptr<fw::MapFrame> f) {
    Rasters r;
    spoil(r);
    const cv::Mat dom = r.dom;
    auto local = std::make_shared<Local>();
    const bool ok = node->makeMapFromDsmDom(9, tile, sourceZoom, f, local, r.dsm, r.dom, r.weight);
    return !ok && r.dom.data == dom.data && local->dom.empty();
  };
  const auto keep = [](Rasters&) {};
  EXPECT_TRUE(refused(
      20, {1, 1}, [](Rasters& r) { r.dom.release(); }, frame));
  EXPECT_TRUE(refused(
      20, {1, 1}, [](Rasters& r) { r.weight.release(); }, frame));
  EXPECT_TRUE(refused(
      20, {1, 1}, [](Rasters& r) { r.dsm.convertTo(r.dsm, CV_64F); }, frame));
  EXPECT_TRUE(refused(
      20, {1, 1}, [](Rasters& r) { r.dom = cv::Mat(256, 256, CV_32FC3); }, frame));
  EXPECT_TRUE(refused(
      20, {1, 1}, [](Rasters& r) { r.weight = cv::Mat(256, 256, CV_16UC1); }, frame));
  EXPECT_TRUE(refused(20, {1, 1}, keep, nullptr));
  EXPECT_TRUE(refused(-1, {0, 0}, keep, frame));
  EXPECT_TRUE(refused(21, {0, 0}, keep, frame));  // above the node's zoom
  EXPECT_TRUE(refused(12, {0, 0}, keep, frame));  // 8 levels: 65536 tiles
  EXPECT_TRUE(refused(3, {8, 0}, keep, frame));   // outside zoom 3's grid
  EXPECT_TRUE(refused(3, {-1, 0}, keep, frame));
  EXPECT_EQ(log.count("Invalid DSM/DOM was passed in - Tile ID: 9", fw::kLogError), 11u);
  // DOMs of other common layouts are taken as colour.
  for (const int type : {CV_8UC4, CV_8UC1, CV_16UC3}) {
    Rasters r;
    r.dom = cv::Mat(256, 256, type, cv::Scalar::all(type == CV_16UC3 ? 257 * 40 : 40));
    auto local = std::make_shared<Local>();
    ASSERT_TRUE(node->makeMapFromDsmDom(9, {1, 1}, 20, frame, local, r.dsm, r.dom, r.weight))
        << type;
    EXPECT_EQ(local->dom.type(), CV_8UC3);
    EXPECT_EQ(local->dom.at<cv::Vec3b>(10, 10), cv::Vec3b(40, 40, 40)) << type;
  }
}

}  // namespace
