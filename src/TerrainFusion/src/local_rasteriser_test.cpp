#include "src/TerrainFusion/src/local_rasteriser.h"

#include "framework/frame_image_decoding.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/area_reduction.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

// The frame as the rasteriser takes it: the node's image file, decoded when asked, its
// pinhole camera and pose. `decodes` counts the decodes.
RasterFrame rasterFrameOf(const tftest::SceneFrame& scene, int* decodes = nullptr) {
  RasterFrame frame;
  frame.id = scene.frame->id;
  std::string path;
  scene.frame->call("GetImagePath", &path);
  const fw::Camera camera = scene.frame->getCamera(0);
  frame.imageSize = cv::Size(camera.width(), camera.height());
  frame.pinhole = camera.parameters().pinhole();
  frame.worldFromCamera = scene.frame->getPoseSE3();
  frame.decode = [path, decodes](int factor, DecodedImage& out) {
    if (decodes) ++*decodes;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uchar> bytes((std::istreambuf_iterator<char>(in)), {});
    out.image = fw::decodeFrameImageReduced(bytes, factor);
    out.factor = factor;
    return std::string(out.image.empty() ? "unreadable" : "");
  };
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
  int decodes = 0;
  const RasterFrame frame = rasterFrameOf(scene, &decodes);
  built[0] = rasteriser(stop).rasterise(frame, scene.points, outs[0]);
  other.join();
  EXPECT_EQ(decodes, 1);
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

namespace {

// Mean and largest absolute difference of two 8-bit rasters over the pixels both have.
void differenceOf(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, double& mean,
                  double& largest) {
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  difference = difference.reshape(1, int(difference.total()));
  cv::Mat perPixel;
  cv::reduce(difference, perPixel, 1, cv::REDUCE_MAX, CV_8U);
  const cv::Mat inside = mask.reshape(1, int(mask.total()));
  mean = cv::mean(perPixel, inside)[0];
  cv::minMaxLoc(perPixel, nullptr, &largest, nullptr, nullptr, inside);
}

// A frame whose image is much finer than the DOM, stored as a JPEG: the rasteriser asks for it
// decoded reduced, and its DOM matches the DOM of the whole decode within the decoders' own
// disagreement, while its heights and weights are the same.
TEST_F(LocalRasteriserTest, ImageDecodedReducedGivesTheDomOfTheWholeImage) {
  tftest::FrameRequest request;
  request.folder = dir.path();
  request.id = 7;
  request.camera = flight::PinholeCamera{960, 720, 4000, 4000, 479.5, 359.5};
  request.pointStep = 8;
  const tftest::SceneFrame fine = tftest::makeSceneFrame(request);
  std::string path;
  fine.frame->call("GetImagePath", &path);
  path += ".jpg";
  ASSERT_TRUE(cv::imwrite(path, fine.view.image, {cv::IMWRITE_JPEG_QUALITY, 95}));
  const std::atomic<bool> stop{false};
  RasterFrame frame = rasterFrameOf(fine);
  int asked = 0;
  const auto decodeAt = [&](int factor, DecodedImage& out) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uchar> bytes((std::istreambuf_iterator<char>(in)), {});
    out.image = fw::decodeFrameImageReduced(bytes, factor);
    out.factor = factor;
    return std::string(out.image.empty() ? "unreadable" : "");
  };
  frame.decode = [&](int factor, DecodedImage& out) {
    asked = factor;
    return decodeAt(factor, out);
  };
  LocalRasters reduced, whole;
  ASSERT_TRUE(rasteriser(stop).rasterise(frame, fine.points, reduced));
  EXPECT_GE(asked, 2);
  frame.decode = [&](int, DecodedImage& out) { return decodeAt(1, out); };
  ASSERT_TRUE(rasteriser(stop).rasterise(frame, fine.points, whole));
  ASSERT_EQ(reduced.dom.size(), whole.dom.size());
  EXPECT_EQ(cv::norm(reduced.dsm, whole.dsm, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(reduced.weight, whole.weight, cv::NORM_INF), 0.0);
  double mean = 0.0, largest = 0.0;
  differenceOf(reduced.dom, whole.dom, whole.weight > 0, mean, largest);
  // The decoders' own disagreement: the reduced decode against the whole one reduced by area
  // to the same size (a DCT-domain reduction is not quite a block mean, and each rounds).
  DecodedImage small, large;
  decodeAt(asked, small);
  decodeAt(1, large);
  const AreaReduction blocks = reduceByArea(large.image, cv::Mat(), asked);
  cv::Mat blockMeans;
  blocks.image.convertTo(blockMeans, CV_8UC3, blocks.levelsPerUnit());
  double decoders = 0.0, decodersLargest = 0.0;
  differenceOf(small.image, blockMeans, cv::Mat(small.image.size(), CV_8UC1, cv::Scalar(255)),
               decoders, decodersLargest);
  EXPECT_LE(decodersLargest, 4.0);
  // Both reach the same total reduction, so the DOMs differ by the decoders' disagreement
  // alone, which the DOM's averaging only lessens: about half a level on average at 1/4.
  EXPECT_LT(decoders, 1.0);
  EXPECT_LT(mean, decoders + 0.1);
  EXPECT_LE(largest, 4.0);
  EXPECT_GT(cv::countNonZero(whole.weight), 5000);
}

TEST_F(LocalRasteriserTest, ImageThatCannotBeHadFailsTheFrameWithItsReason) {
  const std::atomic<bool> stop{false};
  RasterFrame frame = rasterFrameOf(scene);
  frame.decode = [](int, DecodedImage&) { return std::string("image unreadable"); };
  LocalRasters out;
  EXPECT_FALSE(rasteriser(stop).rasterise(frame, scene.points, out));
  EXPECT_EQ(out.failure, "image unreadable");
  EXPECT_TRUE(out.dom.empty());
}

}  // namespace
