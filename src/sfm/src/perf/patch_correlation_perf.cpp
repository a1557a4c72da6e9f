// Cost of finding the best whole shift of a feature's 9 x 9 template in its partner's 15 x 15
// patch, as placing every match does: the exact sums against the library's routine.

#include "patch_correlation.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

namespace {

struct Patches {
  cv::Mat search, templ;
};

Patches texturedPatches() {
  cv::RNG rng(4);
  cv::Mat texture(15, 15, CV_8U);
  rng.fill(texture, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(texture, texture, cv::Size(5, 5), 1.2);
  return {texture, texture(cv::Rect(3, 2, 9, 9)).clone()};
}

void BM_BestCorrelation(benchmark::State& state) {
  const Patches p = texturedPatches();
  for (auto _ : state) benchmark::DoNotOptimize(sfm::bestCorrelation(p.search, p.templ));
}
BENCHMARK(BM_BestCorrelation);

void BM_LibraryMatchTemplate(benchmark::State& state) {
  const Patches p = texturedPatches();
  cv::Mat score;
  for (auto _ : state) {
    cv::matchTemplate(p.search, p.templ, score, cv::TM_CCOEFF_NORMED);
    double peak = 0.0;
    cv::Point at;
    cv::minMaxLoc(score, nullptr, &peak, nullptr, &at);
    benchmark::DoNotOptimize(at);
  }
}
BENCHMARK(BM_LibraryMatchTemplate);

}  // namespace
