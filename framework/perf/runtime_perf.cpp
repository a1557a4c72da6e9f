// Costs of the runtime services on the paths every frame takes: publishing to in-thread
// subscribers, a log line with two sinks and a pool task round trip.
#include "framework/log.h"
#include "framework/messenger.h"
#include "framework/thread_pool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <vector>

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

struct Frame {
  int id = 0;
};
using FrameFuture = std::shared_future<std::shared_ptr<Frame>>;

struct FrameCounter {
  void OnDenseFrame(const FrameFuture& frame) { sum += frame.get()->id; }
  long sum = 0;
};

// From publish to the return of every callback (queue size 0: callbacks run in the
// publishing thread), with a future payload as the dense stages send it.
void BM_PublishToCallback(benchmark::State& state) {
  fw::Messenger messenger;
  std::vector<FrameCounter> counters(state.range(0));
  std::vector<fw::Subscriber> subs;
  for (FrameCounter& counter : counters) {
    subs.push_back(
        messenger.subscribe("sbt.dense_frame", 0, &FrameCounter::OnDenseFrame, &counter));
  }
  fw::Publisher pub = messenger.advertise<FrameFuture>("sbt.dense_frame");
  std::promise<std::shared_ptr<Frame>> promise;
  promise.set_value(std::make_shared<Frame>(Frame{1}));
  const sv::Var message(promise.get_future().share());
  for (auto _ : state) pub.publish(message);
  benchmark::DoNotOptimize(counters[0].sum);
}
BENCHMARK(BM_PublishToCallback)->Arg(1)->Arg(4);

}  // namespace
