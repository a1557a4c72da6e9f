#include "src/TerrainFusion/src/footprint_sampler.h"

#include <benchmark/benchmark.h>

#include <map>

namespace {

// A frame image `width` pixels across (4:3), of random colours.
const cv::Mat& imageOf(int width) {
  static std::map<int, cv::Mat> images;
  cv::Mat& image = images[width];
  if (image.empty()) {
    image.create(width * 3 / 4, width, CV_8UC3);
    cv::RNG rng{uint64_t(width)};
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  }
  return image;
}

// The colour of every DOM pixel of a nadir frame whose DOM pixel spans 4.4 pixels of a
// 4000-pixel-wide image: the same ground and the same DOM at every image resolution, so the
// time shows how the sampler's cost grows with the image's resolution (set-up included).
// With `margin`, the image has an undistorted image's seen mask, a margin of a twentieth of
// its width without content on either side.
void BM_FootprintColour(benchmark::State& state) {
  const int width = int(state.range(0));
  const cv::Mat& image = imageOf(width);
  cv::Mat seen;
  if (state.range(1) != 0) {
    seen = cv::Mat(image.size(), CV_8UC1, cv::Scalar(255));
    seen.colRange(0, width / 20).setTo(0);
    seen.colRange(width - width / 20, width).setTo(0);
  }
  const double size = 4.4 * width / 4000.0;  // image pixels across a DOM pixel
  const cv::Vec3d column(size, 0.0, 0.0), row(0.0, size, 0.0);
  int64_t pixels = 0;
  for (auto _ : state) {
    const FootprintSampler sampler({image, seen, 1}, {1.0, 1.0, 0.0, 0.0}, column, row, size);
    int sum = 0;
    for (double v = size / 2; v < image.rows; v += size) {
      for (double u = size / 2; u < image.cols; u += size, ++pixels)
        sum += sampler.mean({u, v, 1.0})[1];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["dom_pixels"] =
      benchmark::Counter(double(pixels), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FootprintColour)
    ->ArgNames({"image_width", "margin"})
    ->Args({1000, 0})
    ->Args({2000, 0})
    ->Args({4000, 0})
    ->Args({8000, 0})
    ->Args({2000, 1})
    ->Args({4000, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
