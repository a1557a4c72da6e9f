#include "in_order_feeder.h"

#include <algorithm>
#include <exception>
#include <utility>

InOrderFeeder::InOrderFeeder(size_t capacity, std::function<void(const char*)> onError)
    : capacity_(std::max<size_t>(capacity, 1)), onError_(std::move(onError)) {}

void InOrderFeeder::post(std::function<void()> job) {
  if (pool_.runsOnWorker()) {
    runSafely(job);
    return;
  }
  pool_.waitForRoom(capacity_ - 1);
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = pool_
              .add([this, job = std::move(job)]() mutable {
                // Moved out, so that what the job holds goes before its future is ready.
                std::function<void()> running = std::move(job);
                runSafely(running);
              })
              .share();
}

void InOrderFeeder::drain() {
  if (pool_.runsOnWorker()) return;
  std::shared_future<void> last;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last = last_;
  }
  if (last.valid()) last.wait();
}

void InOrderFeeder::runSafely(std::function<void()>& job) const {
  try {
    job();
  } catch (const std::exception& e) {
    onError_(e.what());
  } catch (...) {
    onError_("unknown error");
  }
}
