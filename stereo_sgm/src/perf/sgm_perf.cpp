// The device matcher against the CPU calculator on one 1-megapixel rendered pair, D 128,
// 8 paths, host copies included. Needs a CUDA device; without one the device case reports
// an error and only the CPU case runs.
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/new_sgm/src/stereosgm_image.h"
#include "tools/perspective_renderer.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

namespace {

struct Pair {
  cv::Mat left, right;
};

const Pair& megapixelPair() {
  static const Pair pair = [] {
    const flight::SyntheticScene scene{flight::SceneOptions{}};
    flight::PinholeCamera camera;
    camera.width = 1152;
    camera.height = 868;
    camera.fx = camera.fy = 900.0;
    camera.cx = (camera.width - 1) / 2.0;
    camera.cy = (camera.height - 1) / 2.0;
    flight::CameraPlacement placement;
    placement.enu_from_camera = cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1);
    placement.position = cv::Vec3d(0, 0, 60);
    Pair p;
    cv::cvtColor(flight::renderView(scene, camera, placement).image, p.left, cv::COLOR_BGR2GRAY);
    placement.position[0] += 6.0;
    cv::cvtColor(flight::renderView(scene, camera, placement).image, p.right, cv::COLOR_BGR2GRAY);
    return p;
  }();
  return pair;
}

constexpr int kMinDisparity = 40;

void BM_DeviceMatcher(benchmark::State& state) {
  if (!probeCudaDevice()) {
    state.SkipWithError("no usable CUDA device");
    return;
  }
  const Pair& pair = megapixelPair();
  const cv::Mat left = pair.left.colRange(kMinDisparity, pair.left.cols).clone();
  const cv::Mat right = pair.right.colRange(0, pair.right.cols - kMinDisparity).clone();
  for (auto _ : state) benchmark::DoNotOptimize(computeDisparitySGM(left, right, 128, 0, 8));
}
BENCHMARK(BM_DeviceMatcher)->Unit(benchmark::kMillisecond);

void BM_CpuCalculator(benchmark::State& state) {
  const Pair& pair = megapixelPair();
  SGM_CPU cpu;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        cpu.Compute(pair.left, pair.right, kMinDisparity, kMinDisparity + 128));
}
BENCHMARK(BM_CpuCalculator)->Unit(benchmark::kMillisecond);

}  // namespace
