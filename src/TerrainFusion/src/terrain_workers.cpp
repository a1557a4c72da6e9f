#include "src/TerrainFusion/src/terrain_workers.h"

#include <utility>

TerrainWorkers::TerrainWorkers(int workers, uint64_t maxWaiting)
    : maxWaiting_(maxWaiting), pool_(workers) {}

void TerrainWorkers::add(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++waiting_;
  }
  // Counted as started before it runs, so a task that throws still frees its place.
  pool_.Add([this, task = std::move(task)] {
    taskStarted();
    task();
  });
}

void TerrainWorkers::taskStarted() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --waiting_;
  }
  started_.notify_all();
}

void TerrainWorkers::waitForRoom() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++blocked_;
  started_.wait(lock, [&] { return waiting_ <= maxWaiting_; });
  --blocked_;
}

uint64_t TerrainWorkers::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

int TerrainWorkers::blockedProducers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocked_;
}
