// Speed of the per-point and per-pixel geometry: camera projection and unprojection,
// undistorting a 12-megapixel image and finding the tile of a position.

#include "framework/camera.h"
#include "framework/projection.h"
#include "framework/undistorter.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <iostream>
#include <random>
#include <sstream>
#include <vector>

namespace {

const std::vector<double> kPinhole = {4000, 3000, 3000, 3000, 2000, 1500};
const std::vector<double> kDistorted = {4000, 3000, 3000,   3000,    2000, 1500,
                                        -0.1, 0.02, 0.0005, -0.0003, 0.001};

std::vector<pi::Point3d> cameraPoints() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> xy(-0.6, 0.6), z(1, 100);
  std::vector<pi::Point3d> points(4096);
  for (auto& p : points) {
    const double depth = z(rng);
    p = pi::Point3d(xy(rng) * depth, xy(rng) * depth, depth);
  }
  return points;
}

void project(benchmark::State& state, const std::vector<double>& parameters) {
  const fw::Camera camera(parameters);
  const std::vector<pi::Point3d> points = cameraPoints();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(camera.Project(points[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
}

void unproject(benchmark::State& state, const std::vector<double>& parameters) {
  const fw::Camera camera(parameters);
  std::vector<fw::Point2d> pixels;
  for (const auto& p : cameraPoints()) pixels.push_back(camera.Project(p));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(camera.UnProject(pixels[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ProjectPinhole(benchmark::State& state) { project(state, kPinhole); }
void BM_ProjectOpenCV(benchmark::State& state) { project(state, kDistorted); }
void BM_UnProjectPinhole(benchmark::State& state) { unproject(state, kPinhole); }
void BM_UnProjectOpenCV(benchmark::State& state) { unproject(state, kDistorted); }

void BM_Undistort12MP(benchmark::State& state) {
  std::ostringstream quiet;
  std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());  // the table description
  const fw::Undistorter undistorter{fw::Camera(kDistorted), fw::Camera(kPinhole)};
  std::cout.rdbuf(old);
  cv::Mat input(3000, 4000, CV_8UC3);
  cv::randu(input, cv::Scalar::all(0), cv::Scalar::all(255));
  const fw::GImage image(input);
  for (auto _ : state) {
    fw::GImage output;
    benchmark::DoNotOptimize(undistorter.undistort(image, output));
    benchmark::DoNotOptimize(output.data);
  }
  state.SetItemsProcessed(state.iterations() * 12000000);
}

void BM_UndistorterTables12MP(benchmark::State& state) {
  std::ostringstream quiet;
  std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());
  for (auto _ : state) {
    const fw::Undistorter undistorter{fw::Camera(kDistorted), fw::Camera(kPinhole)};
    benchmark::DoNotOptimize(undistorter.isReady());
  }
  std::cout.rdbuf(old);
}

void BM_TileOfPosition(benchmark::State& state) {
  const fw::MercatorProjection mercator;
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> lat(-80, 80), lng(-170, 170);
  std::vector<std::pair<double, double>> positions(4096);
  for (auto& p : positions) p = {lat(rng), lng(rng)};
  size_t i = 0;
  for (auto _ : state) {
    const auto& p = positions[i++ & 4095];
    benchmark::DoNotOptimize(mercator.latLngToTile(p.first, p.second, 20));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TileOfPositionGCJ02(benchmark::State& state) {
  const fw::GCJ02Projection gcj02;
  size_t i = 0;
  for (auto _ : state) {
    const double offset = double(i++ & 1023) * 1e-4;
    benchmark::DoNotOptimize(gcj02.latLngToTile(39.9 + offset, 116.4 - offset, 20));
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_ProjectPinhole);
BENCHMARK(BM_ProjectOpenCV);
BENCHMARK(BM_UnProjectPinhole);
BENCHMARK(BM_UnProjectOpenCV);
BENCHMARK(BM_Undistort12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistorterTables12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TileOfPosition);
BENCHMARK(BM_TileOfPositionGCJ02);
