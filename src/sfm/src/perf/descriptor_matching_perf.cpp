// Cost of the exhaustive nearest-two search: between random binary rows, and between the
// features (SIFT's, the front end's default) of two neighbouring frames of a rendered survey,
// where most rows lie far from a query's nearest two; of the search within a window around
// each feature; and of the mutual matches of the two frames, searched both ways.

#include "descriptor_matching.h"
#include "frame_features.h"
#include "tools/example_flight.h"

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

// Features as the front end takes them from two 1600 x 1200 frames of one strip.
const std::vector<sfm::FrameFeatures>& neighbourFeatures() {
  static const std::vector<sfm::FrameFeatures> features = [] {
    flight::ExampleFlightOptions o;
    o.flight.camera.width = 1600;
    o.flight.camera.height = 1200;
    o.flight.camera.fx = o.flight.camera.fy = 1360;
    o.flight.frames_per_strip = 2;
    const flight::ExampleFlight f = flight::makeExampleFlight(o);
    const sfm::CameraIntrinsics camera = sfm::CameraIntrinsics::fromCalibration(
        {1600, 1200, 1360, 1360, 799.5, 599.5, 0, 0, 0, 0, 0});
    std::vector<sfm::FrameFeatures> out;
    for (int i = 0; i < 2; ++i)
      out.push_back(sfm::extractFeatures(fw::GImage(flight::renderFrame(f, i).image), camera,
                                         sfm::RefinementOptions()));
    return out;
  }();
  return features;
}

// Argument: whether the searches may take the processor's wide vectors (1) or take the path
// every processor takes (0).
void BM_NearestTwoNeighbourFrames(benchmark::State& state) {
  const std::vector<sfm::FrameFeatures>& f = neighbourFeatures();
  sfm::allowWideVectors(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(sfm::nearestTwo(f[1].descriptors, f[0].descriptors));
  sfm::allowWideVectors(true);
  state.SetItemsProcessed(state.iterations() * int64_t(f[0].size()) * f[1].size());
}
BENCHMARK(BM_NearestTwoNeighbourFrames)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The windowed search between the same frames, each feature looked for around its own place
// within the front end's least radius for the recorded poses (a fifth of the long side), where
// most of the time goes to the rows of the cells around it, or within a guided search's
// few pixels, where it goes to setting the rows out. Arguments: wide vectors allowed, radius
// in pixels.
void BM_NearestTwoWithinNeighbourFrames(benchmark::State& state) {
  const std::vector<sfm::FrameFeatures>& f = neighbourFeatures();
  sfm::allowWideVectors(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(sfm::nearestTwoWithin(f[1].descriptors, f[1].pixels, f[0].descriptors,
                                                   f[0].pixels, double(state.range(1))));
  sfm::allowWideVectors(true);
  state.SetItemsProcessed(state.iterations() * int64_t(f[1].size()));
}
BENCHMARK(BM_NearestTwoWithinNeighbourFrames)
    ->Args({1, 320})
    ->Args({0, 320})
    ->Args({1, 8})
    ->Args({0, 8})
    ->Unit(benchmark::kMillisecond);

// Mutual matches of the same frames, everywhere (radius 0) or within the front end's least
// radius for the recorded poses. Argument: radius in pixels.
void BM_MutualMatchesNeighbourFrames(benchmark::State& state) {
  const std::vector<sfm::FrameFeatures>& f = neighbourFeatures();
  const double radius = double(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(sfm::mutualMatches(f[1].descriptors, f[0].descriptors, 0.8,
                                                &f[1].pixels, f[0].pixels, radius));
  state.SetItemsProcessed(state.iterations() * int64_t(f[1].size()));
}
BENCHMARK(BM_MutualMatchesNeighbourFrames)->Arg(0)->Arg(320)->Unit(benchmark::kMillisecond);

}  // namespace
