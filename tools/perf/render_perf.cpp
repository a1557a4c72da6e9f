// Rendering speed of the synthetic example flight: one 1000 x 750 frame, and the scene.

#include "example_flight.h"

#include <benchmark/benchmark.h>

namespace {

void BM_RenderFrame(benchmark::State& state) {
  const flight::ExampleFlight flight = flight::makeExampleFlight({});
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(flight::renderFrame(flight, i % flight.plan.frames.size()));
    ++i;
  }
  state.SetItemsProcessed(state.iterations() * 1000 * 750);
}
BENCHMARK(BM_RenderFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BuildScene(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(flight::makeExampleFlight({}));
}
BENCHMARK(BM_BuildScene)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
