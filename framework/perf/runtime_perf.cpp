// Costs of the runtime services on the paths every frame takes: a log line with two
// sinks and a pool task round trip.
#include "framework/log.h"
#include "framework/thread_pool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>

namespace {

struct NullSink : fw::LogSink {
  void write(int, const char*, const char*, int, const struct tm*, const char*,
             uint64_t length) override {
    bytes.fetch_add(length, std::memory_order_relaxed);
  }
  void flush() override {}
  std::atomic<uint64_t> bytes{0};
};

// Standard error goes to /dev/null so the terminal does not dominate the figure.
void BM_LogLineTwoSinks(benchmark::State& state) {
  FILE* saved = std::freopen("/dev/null", "w", stderr);
  NullSink a, b;
  fw::logSinks()->insert(&a);
  fw::logSinks()->insert(&b);
  int i = 0;
  for (auto _ : state) FW_LOG(fw::kLogInfo) << "Frame ID:" << ++i << ",Status:Succeed";
  fw::logSinks()->erase(&a);
  fw::logSinks()->erase(&b);
  benchmark::DoNotOptimize(saved);
}
BENCHMARK(BM_LogLineTwoSinks);

void BM_PoolTaskRoundTrip(benchmark::State& state) {
  fw::detail::ThreadPool pool(1);
  int value = 0;
  for (auto _ : state) value = pool.Add([](int v) { return v + 1; }, value).get();
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_PoolTaskRoundTrip)->UseRealTime();

}  // namespace
