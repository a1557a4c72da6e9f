#include "framework/log.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/hole_filling.h"
#include "src/TerrainFusion/src/laplacian_pyramid.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "src/TerrainFusion/src/tile_access.h"
#include "src/TerrainFusion/src/tile_writers.h"
#include "src/TerrainFusion/src/truth_flight_for_tests.h"
#include "testsupport/temp_dir.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Blending of one frame piece into one tile (both passes, no lower zooms) over a cache
// without a store; each thread works on tiles of its own.
std::shared_ptr<TileManagerCachedGDAL> sharedCache;
TileLockTable sharedLocks;

void BM_BlendTile(benchmark::State& state) {
  if (state.thread_index() == 0) {
    // OpenCV's own threads off: the figures are the tiling's, spread over the terrain workers.
    cv::setNumThreads(1);
    sharedCache = std::make_shared<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(),
                                                          nullptr, 4096);
  }
  TileRasters r;
  cv::Mat noise(32, 32, CV_8UC3);
  cv::randu(noise, 0, 255);
  cv::resize(noise, r.dom, cv::Size(256, 256));
  r.weight = cv::Mat(256, 256, CV_8UC1, cv::Scalar(0));
  for (int c = 0; c < 256; ++c) r.weight.col(c).setTo(1 + c * 254 / 255);
  r.dsm = cv::Mat(64, 64, CV_32FC1, cv::Scalar(10.0f));
  TileAccess access(sharedCache, sharedLocks);
  int i = 0;
  for (auto _ : state) {
    // 64 tiles per thread, far apart, each blended again and again.
    const long long x = 1000 * (state.thread_index() + 1) + 3 * (i % 8);
    const long long y = 3 * ((i / 8) % 8);
    r.firstTile = r.lastTile = {x, y};
    benchmark::DoNotOptimize(blendTiles(access, r, 18, 1));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlendTile)->Threads(1)->Threads(2)->UseRealTime();

// The frame's hole fill over a block of 8 x 6 tiles seen inside a tilted footprint, as a
// 12 MP frame's block is at the DOM's zoom.
void BM_HoleFill(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat dom(1536, 2048, CV_8UC3);
  cv::randu(dom, 0, 255);
  cv::Mat weight(dom.size(), CV_8UC1, cv::Scalar(0));
  cv::Point2f corners[4];
  cv::RotatedRect({1024.0f, 768.0f}, {1700.0f, 1100.0f}, 25.0f).points(corners);
  const std::vector<cv::Point> footprint(corners, corners + 4);
  cv::fillConvexPoly(weight, footprint, cv::Scalar(100));
  for (auto _ : state) benchmark::DoNotOptimize(domWithHolesFilled(dom, weight).data);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HoleFill)->Unit(benchmark::kMillisecond);

// A tile's DOM collapsed from its band mosaics with all eight neighbours.
void BM_CollapseTile(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat image(384, 384, CV_8UC3);
  cv::randu(image, 0, 255);
  std::vector<cv::Mat> bands;
  buildLaplacianPyramid(image, tile_model::kBandLevels, bands);
  for (auto _ : state) {
    benchmark::DoNotOptimize(collapsedWindow(bands, cv::Rect(64, 64, 256, 256)).data);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CollapseTile)->Unit(benchmark::kMicrosecond);

// Log lines of cache trimming: the time spent evicting, under the cache lock.
class TrimTimes : public fw::LogSink {
 public:
  TrimTimes() { fw::logSinks()->insert(this); }
  ~TrimTimes() override { fw::logSinks()->erase(this); }
  void write(int, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t) override {
    unsigned removed = 0, left = 0;
    double ms = 0;
    if (std::sscanf(text, "Remove cache num: %u remain cache num: %u time: %lf", &removed, &left,
                    &ms) == 3) {
      std::lock_guard<std::mutex> lock(mutex_);
      total_ += ms;
    } else if (std::sscanf(text, "Generating Tiles: %ux%u", &removed, &left) == 2) {
      std::lock_guard<std::mutex> lock(mutex_);
      tiles_ += removed * left;
    }
  }
  void flush() override {}
  double totalMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
  }
  unsigned tiles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tiles_;
  }

 private:
  std::mutex mutex_;
  double total_ = 0;
  unsigned tiles_ = 0;
};

// The point route: frames of the example flight with truth points through a node with 1 or
// 2 workers and a file (1) or MBTiles (2) store.
void BM_PointRoute(benchmark::State& state) {
  static vmtest::TempDir images;
  static tftest::TruthFlight flight(
      [] {
        tftest::TruthFlightOptions o;
        o.strips = 2;
        o.framesPerStrip = 6;
        o.width = 640;
        o.height = 480;
        return o;
      }(),
      images.path());
  TrimTimes trims;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<sv::Var> messages;
    for (size_t i = 0; i < flight.size(); ++i)
      messages.push_back(tftest::TruthFlight::pointCloudMessage(flight.frame(i)));
    vmtest::TempDir work;
    auto node = tftest::makeNode(work.path(),
                                 {{"dom", {{"tiling", {{"storage", int(state.range(1))}}}}},
                                  {"specific", {{"terrainfusion.threads", int(state.range(0))}}}});
    state.ResumeTiming();
    for (auto& message : messages) node->call("point_cloud", &message);
    node.reset();
  }
  state.counters["tiles_per_s"] = benchmark::Counter(trims.tiles(), benchmark::Counter::kIsRate);
  state.counters["trim_ms"] = trims.totalMs() / double(state.iterations());
}
BENCHMARK(BM_PointRoute)
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({1, 2})
    ->Args({2, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
