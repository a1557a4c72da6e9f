// Writing one frame's point cloud against writing the same bytes with nothing else to do:
// a 12 MP frame matched at scale 4 gives about 750,000 points. Also the frame that makes
// the root 1000 entries long, whose root rewrite is the part that grows with the run.
#include "src/3dtiles/src/3dtiles.h"
#include "src/3dtiles/src/pnts_file.h"

#include "framework/diy_frame.h"
#include "temp_dir.h"
#include "tiles/atomic_file.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

using Positions = std::vector<pi::Point3_<float>>;
using Colours = std::vector<pi::Point3_<unsigned char>>;

constexpr size_t kFramePoints = 750000;

std::shared_ptr<fw::MapFrame> frameAt(uint64_t id) {
  auto frame = std::make_shared<MapFrame>(id, 0.0, fw::GImage(), "f.jpg",
                                          fw::Camera({640, 480, 500, 500, 320, 240}),
                                          std::vector<double>(), 1);
  SE3 pose;
  pose.t = {4.2e6 + double(id), 6.5e5, 4.7e6};
  frame->setPose(pose);
  return frame;
}

struct Cloud {
  Positions positions;
  Colours colours;
};

Cloud cloudOf(size_t count) {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> xy(-80.f, 80.f), z(90.f, 130.f);
  Cloud cloud;
  cloud.positions.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    cloud.positions.emplace_back(xy(random), xy(random), z(random));
    cloud.colours.emplace_back(static_cast<unsigned char>(i), 80, 160);
  }
  return cloud;
}

sv::Var payloadOf(uint64_t id, const Cloud& cloud) {
  return sv::Var{sv::Var(frameAt(id)), sv::Var(cloud.positions), sv::Var(cloud.colours)};
}

void BM_OnPointCloud750k(benchmark::State& state) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  const sv::Var payload = payloadOf(1, cloudOf(kFramePoints));
  for (auto _ : state) tiles.OnPointCloud(payload);
  state.SetItemsProcessed(state.iterations() * kFramePoints);
}
BENCHMARK(BM_OnPointCloud750k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes as the frame's five levels, written through the same atomic writer.
void BM_WriteSameBytesAtomically(benchmark::State& state) {
  vmtest::TempDir dir;
  const Cloud cloud = cloudOf(kFramePoints);
  // Five files holding 1/2, 1/4, 1/8, 1/16 and 1/16 of the points, as the levels do.
  std::vector<std::string> files;
  size_t first = 0;
  for (size_t share : {2, 4, 8, 16, 16}) {
    const size_t n = kFramePoints / share;
    Positions p(cloud.positions.begin() + first, cloud.positions.begin() + first + n);
    Colours c(cloud.colours.begin() + first, cloud.colours.begin() + first + n);
    first += n;
    files.emplace_back();
    encodePnts(p, c, files.back());
  }
  std::string error;
  for (auto _ : state) {
    for (size_t level = 0; level < files.size(); ++level) {
      const std::string path = (dir / (std::to_string(level) + ".pnts")).string();
      if (!tile_files::writeFileAtomically(path, files[level].data(), files[level].size(), error))
        state.SkipWithError(error.c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFramePoints);
}
BENCHMARK(BM_WriteSameBytesAtomically)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 1000th frame: 999 frames are in the root already; each iteration rewrites frame 1000.
void BM_ThousandthFrame(benchmark::State& state) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  const Cloud small = cloudOf(200);
  for (uint64_t id = 1; id < 1000; ++id) tiles.OnPointCloud(payloadOf(id, small));
  const sv::Var payload = payloadOf(1000, cloudOf(size_t(state.range(0))));
  for (auto _ : state) tiles.OnPointCloud(payload);
}
BENCHMARK(BM_ThousandthFrame)
    ->Arg(200)
    ->Arg(kFramePoints)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
