// Throughput of the frame-list dataset: 12-megapixel JPEGs read, named (MD5) and decoded ahead
// of the consumer by the loader threads, with the process held to 1 or 2 cores; decoded whole,
// or reduced for the front end's 1600-pixel feature image (halved while decoded).
#include "dataset.h"
#include "test_images.h"

#include <benchmark/benchmark.h>

#include <sched.h>
#include <unistd.h>

#include <filesystem>

namespace {

constexpr int kFrames = 16;

// The flight is written once per process and removed at exit.
class Flight {
 public:
  Flight() {
    folder_ =
        std::filesystem::temp_directory_path() / ("vm_dataset_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    list_ = vmtest::writeFrameList(folder_, kFrames, 4000, 3000);
  }
  ~Flight() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::filesystem::path& list() const { return list_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path list_;
};

const Flight& flight() {
  static Flight instance;
  return instance;
}

// Threads started while the mask is set (the dispatcher and loaders) inherit it.
class CoreLimit {
 public:
  explicit CoreLimit(int cores) {
    sched_getaffinity(0, sizeof(previous_), &previous_);
    cpu_set_t limited;
    CPU_ZERO(&limited);
    int taken = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && taken < cores; ++cpu) {
      if (CPU_ISSET(cpu, &previous_)) {
        CPU_SET(cpu, &limited);
        ++taken;
      }
    }
    sched_setaffinity(0, sizeof(limited), &limited);
  }
  ~CoreLimit() { sched_setaffinity(0, sizeof(previous_), &previous_); }

 private:
  cpu_set_t previous_;
};

void BM_FrameListThroughput(benchmark::State& state) {
  const std::string list = flight().list().string();
  CoreLimit limit(static_cast<int>(state.range(0)));
  ImageLoadOptions options = ImageLoadOptions::fromConfiguration();
  options.workingLongSide = static_cast<int>(state.range(1));
  int64_t frames = 0;
  for (auto _ : state) {
    ImageDataset dataset(list, options);
    while (auto frame = dataset.next()) {
      benchmark::DoNotOptimize(frame->getImage(0, 0).data);
      frame->setImage(fw::GImage(), 0);
      ++frames;
    }
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["megapixels_per_s"] =
      benchmark::Counter(static_cast<double>(frames) * 12.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrameListThroughput)
    ->ArgNames({"cores", "working_side"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1600})
    ->Args({2, 1600})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
