#include "src/TerrainFusion/src/local_rasteriser.h"

#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <thread>

namespace {

// The frame as the rasteriser takes it: the node's image file decoded, its pinhole camera
// and pose.
RasterFrame rasterFrameOf(const tftest::SceneFrame& scene) {
  RasterFrame frame;
  frame.id = scene.frame->id;
  std::string path;
  scene.frame->call("GetImagePath", &path);
  frame.image = cv::imread(path, cv::IMREAD_COLOR);
  const std::vector<double> camera = scene.frame->getCamera(0).getParameters();
  frame.pinhole = cv::Vec4d(camera[2], camera[3], camera[4], camera[5]);
  frame.worldFromCamera = scene.frame->getPoseSE3();
  return frame;
}

class LocalRasteriserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    node = tftest::makeNode(dir.path());
    ASSERT_TRUE(node->ready());
    ASSERT_TRUE(node->fixPlacementAndZoom(tftest::placementFrame(10000.0)));
    tftest::FrameRequest request;
    request.folder = dir.path();
    request.camera = flight::PinholeCamera{320, 240, 272, 272, 159.5, 119.5};
    request.pointStep = 4;
    scene = tftest::makeSceneFrame(request);
  }

  LocalRasteriser rasteriser(const std::atomic<bool>& stop) const {
    return LocalRasteriser(*node->projection(), node->placement(), node->memory(), stop);
  }

  vmtest::TempDir dir;
  std::shared_ptr<TerrainFusion> node;
  tftest::SceneFrame scene;
};

// Workers rasterise frames at once, each with its own rasteriser over the node's placement:
// nothing is shared but what they read, so each gives what the node gives alone.
TEST_F(LocalRasteriserTest, RasterisersAtOnceGiveTheNodesBytes) {
  auto alone = std::make_shared<TerrainFusion::LocalDSMData>();
  ASSERT_TRUE(node->makeMap_idw(scene.frame, alone, scene.points));
  const std::atomic<bool> stop{false};
  LocalRasters outs[2];
  bool built[2] = {false, false};
  std::thread other([&] {
    RasterFrame frame = rasterFrameOf(scene);
    built[1] = rasteriser(stop).rasterise(frame, scene.points, outs[1]);
  });
  RasterFrame frame = rasterFrameOf(scene);
  built[0] = rasteriser(stop).rasterise(frame, scene.points, outs[0]);
  other.join();
  EXPECT_TRUE(frame.image.empty());  // let go once reduced
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(built[i]);
    EXPECT_EQ(outs[i].firstTile, alone->firstTile);
    EXPECT_EQ(outs[i].lastTile, alone->lastTile);
    EXPECT_EQ(outs[i].meanHeight, alone->meanHeight);
    EXPECT_EQ(cv::norm(outs[i].dom, alone->dom, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(outs[i].weight, alone->weight, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(outs[i].dsm, alone->dsm, cv::NORM_INF), 0.0);
  }
}

TEST_F(LocalRasteriserTest, StoppedOrUnplaceableGivesNoRaster) {
  const std::atomic<bool> stop{true};
  RasterFrame frame = rasterFrameOf(scene);
  LocalRasters out;
  EXPECT_FALSE(rasteriser(stop).rasterise(frame, scene.points, out));
  EXPECT_TRUE(out.dom.empty());

  // A similarity without scale has no way back to the camera.
  TerrainPlacement flat = node->placement();
  flat.setLocal(flat.ecefFromEnu(), Sim3(fw::Quaternion(), pi::Point3d(0, 0, 0), 0.0));
  const std::atomic<bool> go{false};
  frame = rasterFrameOf(scene);
  LocalRasters none;
  EXPECT_FALSE(LocalRasteriser(*node->projection(), flat, node->memory(), go)
                   .rasterise(frame, scene.points, none));
  EXPECT_TRUE(none.dom.empty());
}

}  // namespace
