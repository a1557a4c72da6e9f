#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

using Local = TerrainFusion::LocalDSMData;

constexpr int kFrames = 8;
constexpr int kThreads = 4;

// The frames as GPS (ECEF) or local frames; `rendered` frames of the other kind lend their
// renderings, which do not depend on the world frame.
std::vector<tftest::SceneFrame> flightFrames(const std::filesystem::path& folder, bool ecef,
                                             const std::vector<tftest::SceneFrame>& rendered) {
  std::vector<tftest::SceneFrame> frames;
  for (int i = 0; i < kFrames; ++i) {
    tftest::FrameRequest request;
    request.id = uint64_t(i + 1);
    request.position = cv::Vec3d(-35.0 + 10.0 * i, -20.0 + 3.0 * (i % 3), 100.0);
    request.camera = flight::PinholeCamera{200, 150, 170, 170, 99.5, 74.5};
    if (i % 2 == 1) request.distortion = {-0.02, 0.001, 0.0, 0.0, 0.0};
    request.pointStep = 2;
    request.ecef = ecef;
    request.poseScale = 100.0;  // local frames: the camera is 100 units above the ground
    request.folder = folder;
    if (!rendered.empty()) request.view = rendered[i].view;
    frames.push_back(tftest::makeSceneFrame(request));
  }
  return frames;
}

bool sameRaster(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() &&
         (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

// Zoom steps and rasters from four threads give what one thread gives.
TEST(TerrainConcurrency, ParallelFramesMatchSequentialRun) {
  vmtest::TempDir dir;
  std::vector<tftest::SceneFrame> frames;
  for (const bool ecef : {true, false}) {
    SCOPED_TRACE(ecef ? "GPS frames" : "local frames");
    frames = flightFrames(dir.path(), ecef, frames);
    const nlohmann::json specific = {
        {"specific", {{"terrainfusion.fake_origin", "114.36 30.52 35"}}}};

    auto sequential = tftest::makeNode(dir.path() / "seq", specific);
    std::vector<std::shared_ptr<Local>> expected(kFrames);
    for (int i = 0; i < kFrames; ++i) {
      ASSERT_TRUE(sequential->fixPlacementAndZoom(frames[i].frame));
      expected[i] = std::make_shared<Local>();
      ASSERT_TRUE(sequential->makeMap_idw(frames[i].frame, expected[i], frames[i].points));
    }

    auto parallel = tftest::makeNode(dir.path() / "par", specific);
    std::vector<std::shared_ptr<Local>> got(kFrames);
    std::vector<char> placed(kFrames, 0), made(kFrames, 0);
    std::promise<void> start;
    std::shared_future<void> go = start.get_future().share();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        go.wait();
        // Every thread races for the one-time placement with the first frame.
        parallel->fixPlacementAndZoom(frames[0].frame);
        for (int i = t; i < kFrames; i += kThreads) {
          placed[i] = parallel->fixPlacementAndZoom(frames[i].frame);
          got[i] = std::make_shared<Local>();
          made[i] = parallel->makeMap_idw(frames[i].frame, got[i], frames[i].points);
        }
      });
    }
    start.set_value();
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(parallel->zoomLevel(), sequential->zoomLevel());
    for (int i = 0; i < kFrames; ++i) {
      SCOPED_TRACE(i);
      ASSERT_TRUE(placed[i] && made[i]);
      EXPECT_EQ(got[i]->firstTile, expected[i]->firstTile);
      EXPECT_TRUE(sameRaster(got[i]->dom, expected[i]->dom));
      EXPECT_TRUE(sameRaster(got[i]->weight, expected[i]->weight));
      EXPECT_TRUE(sameRaster(got[i]->dsm, expected[i]->dsm));
    }
  }
}

}  // namespace
