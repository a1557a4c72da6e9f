// Cost of locating one frame: pose, sparse ground points, located frame and its delivery.

#include "front_end_test_support.h"
#include "georeferencing_front_end.h"

#include <benchmark/benchmark.h>

namespace {

void BM_LocateFrame(benchmark::State& state) {
  sfm::testing::RecordingChain chain;
  sfm::FrontEndOptions options;
  options.points.grid_columns = static_cast<int>(state.range(0));
  options.points.grid_rows = static_cast<int>(state.range(0)) * 3 / 4;
  sfm::GeoreferencingFrontEnd front_end(&chain, options);
  front_end.setFrameCount(-1);
  uint64_t id = 0;
  for (auto _ : state) {
    front_end.addFrame(sfm::testing::inputFrame(id, sfm::testing::gpsRecord(30.52, 114.36, 135.0, 100.0, -90, 0, 0)));
    ++id;
    if (chain.frames.size() > 64) {
      chain.frames.clear();
      chain.commands.clear();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocateFrame)->Arg(20)->Arg(40);

}  // namespace
