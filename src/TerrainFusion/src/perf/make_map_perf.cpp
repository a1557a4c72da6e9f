#include "framework/frame_image_decoding.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <utility>

namespace {

// One 12 MP nadir frame of the synthetic scene (4000 x 3000, about 3 M dense points), its
// image a PNG or, as a camera stores it, a JPEG (which decodes reduced by its DCT), and a
// node placed by it at a DOM scale (the program's default is 4: DOM pixels about four image
// pixels across, where each DOM pixel averages a footprint of many image pixels; at 1 the DOM
// is about as fine as the image).
struct Setup {
  vmtest::TempDir dir;
  std::shared_ptr<TerrainFusion> node;
  tftest::SceneFrame frame;
  std::string path;
  cv::Size raster;

  Setup(double scale, bool jpeg) {
    tftest::FrameRequest request;
    request.folder = dir.path();
    request.position = cv::Vec3d(0.0, -20.0, 100.0);
    request.camera = flight::PinholeCamera{4000, 3000, 3400, 3400, 1999.5, 1499.5};
    frame = tftest::makeSceneFrame(request);
    frame.frame->call("GetImagePath", &path);
    // The file's content, not its name, says how it decodes.
    if (jpeg) cv::imwrite(path + ".jpg", frame.view.image, {cv::IMWRITE_JPEG_QUALITY, 92});
    if (jpeg) std::filesystem::rename(path + ".jpg", path);
    node = tftest::makeNode(dir.path() / "node", {{"dom", {{"scale", scale}}}});
    node->fixPlacementAndZoom(frame.frame);
    auto local = std::make_shared<TerrainFusion::LocalDSMData>();
    node->makeMap_idw(frame.frame, local, frame.points);
    raster = cv::Size(local->width, local->height);
  }
};

// Built on first use and kept for the process: rendering the frame takes seconds.
Setup& setup(int scale, bool jpeg = false) {
  static std::map<std::pair<int, bool>, std::unique_ptr<Setup>> setups;
  std::unique_ptr<Setup>& s = setups[{scale, jpeg}];
  if (!s) s = std::make_unique<Setup>(double(scale), jpeg);
  return *s;
}

void BM_MakeMapIdw(benchmark::State& state) {
  Setup& s = setup(int(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    auto local = std::make_shared<TerrainFusion::LocalDSMData>();
    if (!s.node->makeMap_idw(s.frame.frame, local, s.frame.points)) state.SkipWithError("failed");
    benchmark::DoNotOptimize(local->dom.data);
  }
  state.counters["points"] = double(s.frame.points.size());
  state.counters["raster_mp"] = s.raster.area() / 1e6;
}
BENCHMARK(BM_MakeMapIdw)
    ->ArgNames({"dom_scale", "jpeg"})
    ->Args({4, 0})
    ->Args({4, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor any implementation pays: decode the frame's file and remap once to the raster.
void BM_DecodeAndRemap(benchmark::State& state) {
  Setup& s = setup(int(state.range(0)));
  cv::Mat mapX(s.raster, CV_32FC1), mapY(s.raster, CV_32FC1);
  for (int y = 0; y < s.raster.height; ++y) {
    for (int x = 0; x < s.raster.width; ++x) {
      mapX.at<float>(y, x) = float(x) * 4000.0f / float(s.raster.width);
      mapY.at<float>(y, x) = float(y) * 3000.0f / float(s.raster.height);
    }
  }
  for (auto _ : state) {
    std::ifstream in(s.path, std::ios::binary | std::ios::ate);
    std::vector<uchar> bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    const cv::Mat image = fw::decodeFrameImage(bytes);
    cv::Mat out;
    cv::remap(image, out, mapX, mapY, cv::INTER_NEAREST);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_DecodeAndRemap)
    ->ArgName("dom_scale")
    ->Arg(4)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
