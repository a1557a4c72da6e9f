// Speed of the tile PNG codec and its checksums next to libpng (through OpenCV) and zlib,
// on one 256 x 256 RGBA orthophoto-like tile and on 256 KiB of bytes. The "bytes" counter
// is the encoded size.
#include "tiles/adler32.h"
#include "tiles/cpu_features.h"
#include "tiles/crc32.h"
#include "tiles/png_codec.h"
#include "tiles/test_images.h"

#include <benchmark/benchmark.h>
#include <zlib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <random>

namespace {

constexpr uint32_t kTile = 256;

const std::vector<uint8_t>& tile() {
  static const std::vector<uint8_t> px = test_images::orthophotoTile(kTile, 1);
  return px;
}

cv::Mat tileBgra() {
  cv::Mat rgba(kTile, kTile, CV_8UC4, const_cast<uint8_t*>(tile().data()));
  cv::Mat bgra;
  cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
  return bgra;
}

void BM_EncodeTile(benchmark::State& state) {
  detectCpuFeatures();
  const unsigned flags = static_cast<unsigned>(state.range(0));
  std::vector<uint8_t> out;
  for (auto _ : state) {
    encodePng(tile().data(), kTile, kTile, 4, out, flags);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
  state.SetBytesProcessed(state.iterations() * tile().size());
}
BENCHMARK(BM_EncodeTile)->Arg(0)->Arg(1)->Arg(2);

// OpenCV's defaults, then libpng's own default level.
void BM_EncodeTileOpenCV(benchmark::State& state) {
  const cv::Mat bgra = tileBgra();
  std::vector<int> params;
  if (state.range(0) >= 0) params = {cv::IMWRITE_PNG_COMPRESSION, static_cast<int>(state.range(0))};
  std::vector<uint8_t> out;
  for (auto _ : state) {
    cv::imencode(".png", bgra, out, params);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
  state.SetBytesProcessed(state.iterations() * tile().size());
}
BENCHMARK(BM_EncodeTileOpenCV)->Arg(-1)->Arg(6);

void BM_DecodeTile(benchmark::State& state) {
  detectCpuFeatures();
  std::vector<uint8_t> png, out;
  encodePng(tile().data(), kTile, kTile, 4, png, static_cast<unsigned>(state.range(0)));
  uint32_t w, h;
  int c;
  for (auto _ : state) {
    decodePng(png.data(), png.size(), out, w, h, c, 4);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * tile().size());
}
BENCHMARK(BM_DecodeTile)->Arg(0)->Arg(1)->Arg(2);

void BM_DecodeTileOpenCV(benchmark::State& state) {
  std::vector<uint8_t> png;
  encodePng(tile().data(), kTile, kTile, 4, png, static_cast<unsigned>(state.range(0)));
  for (auto _ : state) {
    cv::Mat m = cv::imdecode(png, cv::IMREAD_UNCHANGED);
    benchmark::DoNotOptimize(m.data);
  }
  state.SetBytesProcessed(state.iterations() * tile().size());
}
BENCHMARK(BM_DecodeTileOpenCV)->Arg(0)->Arg(2);

const std::vector<uint8_t>& block() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(256 * 1024);
    std::mt19937 rng(3);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }();
  return data;
}

// range(0): 1 with the processor's vector paths, 0 on the plain paths.
void usePaths(const benchmark::State& state) {
  detectCpuFeatures();
  static const ProcessorFeatures detected = processorFeatures();
  setProcessorFeatures(state.range(0) ? detected : ProcessorFeatures{});
}

void BM_Crc32(benchmark::State& state) {
  usePaths(state);
  for (auto _ : state) benchmark::DoNotOptimize(crc32Png(block().data(), block().size(), 0));
  state.SetBytesProcessed(state.iterations() * block().size());
}
BENCHMARK(BM_Crc32)->Arg(1)->Arg(0);

void BM_Crc32Zlib(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0, block().data(), static_cast<uInt>(block().size())));
  state.SetBytesProcessed(state.iterations() * block().size());
}
BENCHMARK(BM_Crc32Zlib);

void BM_Adler32(benchmark::State& state) {
  usePaths(state);
  for (auto _ : state) benchmark::DoNotOptimize(adler32Png(block().data(), block().size(), 1));
  state.SetBytesProcessed(state.iterations() * block().size());
}
BENCHMARK(BM_Adler32)->Arg(1)->Arg(0);

void BM_Adler32Zlib(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(adler32(1, block().data(), static_cast<uInt>(block().size())));
  state.SetBytesProcessed(state.iterations() * block().size());
}
BENCHMARK(BM_Adler32Zlib);

}  // namespace
