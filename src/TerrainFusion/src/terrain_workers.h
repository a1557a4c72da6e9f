#pragma once

#include "framework/thread_pool.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// The terrain node's worker pool with the back-pressure on the threads that feed it. Tasks
// run first in, first out; a producer that has queued a task blocks on a condition variable,
// woken as workers take tasks, while more than `maxWaiting` tasks wait for a worker, so the
// frames held in memory stay bounded by maxWaiting plus one per worker.
class TerrainWorkers {
 public:
  TerrainWorkers(int workers, uint64_t maxWaiting);
  // Runs every task queued before, then joins the workers.
  ~TerrainWorkers() = default;
  TerrainWorkers(const TerrainWorkers&) = delete;
  TerrainWorkers& operator=(const TerrainWorkers&) = delete;

  // Queues a task. An exception it throws stays in the pool's future for it; the task must
  // catch and log what it wants seen.
  void add(std::function<void()> task);
  // Blocks the caller while more than maxWaiting tasks wait for a worker. Must not be called
  // from a worker: it would wait on itself.
  void waitForRoom();

  // Tasks queued and not yet started.
  uint64_t waiting() const;
  // True while a task waits or runs.
  bool busy() const { return pool_.PendingTasks() > 0 || pool_.BusyWorkers() > 0; }
  // Producers blocked in waitForRoom now: lets a test see a producer held without timing it.
  int blockedProducers() const;

 private:
  void taskStarted();

  const uint64_t maxWaiting_;
  mutable std::mutex mutex_;
  std::condition_variable started_;
  uint64_t waiting_ = 0;
  int blocked_ = 0;
  // Last: destroyed first, so the tasks it still runs find the counters above in place.
  fw::detail::ThreadPool pool_;
};
