// Cost of the exhaustive nearest-two search between two frames' binary descriptors, at the
// feature count of a frame.

#include "descriptor_matching.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

namespace {

void BM_NearestTwoBinary(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  cv::Mat query(rows, 32, CV_8U), train(rows, 32, CV_8U);
  cv::RNG rng(5);
  rng.fill(query, cv::RNG::UNIFORM, 0, 256);
  rng.fill(train, cv::RNG::UNIFORM, 0, 256);
  for (auto _ : state) benchmark::DoNotOptimize(sfm::nearestTwo(query, train));
  state.SetItemsProcessed(state.iterations() * int64_t(rows) * rows);
}
BENCHMARK(BM_NearestTwoBinary)->Arg(2500)->Unit(benchmark::kMillisecond);

}  // namespace
