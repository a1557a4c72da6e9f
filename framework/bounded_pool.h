#pragma once

#include "framework/thread_pool.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <utility>

namespace fw {

// A worker pool whose producers block, on a condition variable, while too many tasks wait for
// a worker: the back-pressure of the stages that feed frames faster than they are worked. A
// task counts as waiting from add() until a worker takes it, so the frames held in memory stay
// bounded by the limit plus one per worker. Tasks run first in, first out; the destructor runs
// every queued task, then joins the workers.
class BoundedPool {
 public:
  // Told how many tasks wait when a producer is about to block (in the producer's thread,
  // no lock held): lets a test release the workers at the moment the feed is held.
  using BlockHook = std::function<void(uint64_t waiting)>;

  explicit BoundedPool(int workers) : pool_(workers) {}
  BoundedPool(const BoundedPool&) = delete;
  BoundedPool& operator=(const BoundedPool&) = delete;

  // Queues a task; its result or exception comes back through the future, which a caller
  // that does not want it may drop (the task still runs).
  template <typename F>
  auto add(F&& task) -> std::future<std::invoke_result_t<std::decay_t<F>&>>;

  // Blocks the caller while more than `limit` tasks wait. False when the wait was given up
  // because of cancel(). Must not be called from a worker: it would wait on itself.
  bool waitForRoom(uint64_t limit);
  // Wakes every blocked producer, and lets later waits return at once: the stage is closing
  // and nothing more will be fed that needs holding back.
  void cancel();

  // Tasks queued and not yet started.
  uint64_t waiting() const;
  // True while a task waits or runs.
  bool busy() const { return pool_.PendingTasks() > 0 || pool_.BusyWorkers() > 0; }
  // True on one of the pool's own workers, where waiting on the pool would wait on itself.
  bool runsOnWorker() const { return pool_.runsOnWorker(); }
  // Producers blocked in waitForRoom now: lets a test see a producer held without timing it.
  int blockedProducers() const;
  void setBlockHook(BlockHook hook);

 private:
  void taskTaken();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t waiting_ = 0;
  int blocked_ = 0;
  bool cancelled_ = false;
  BlockHook blockHook_;
  // Last: destroyed first, so the tasks it still runs find the counters above in place.
  detail::ThreadPool pool_;
};

template <typename F>
auto BoundedPool::add(F&& task) -> std::future<std::invoke_result_t<std::decay_t<F>&>> {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++waiting_;
  }
  // Counted as taken before it runs, so a task that throws still frees its place; a task
  // that could not be queued frees it at once.
  try {
    return pool_.Add([this, task = std::forward<F>(task)]() mutable {
      taskTaken();
      return task();
    });
  } catch (...) {
    taskTaken();
    throw;
  }
}

}  // namespace fw
