#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace fw {
namespace detail {

// A fixed set of worker threads taking queued tasks first in, first out. Each task's
// result (or exception) comes back through the future returned by Add. The destructor
// runs every task queued before it, then joins the workers.
class ThreadPool {
 public:
  explicit ThreadPool(int count);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  template <typename F, typename... Args>
  auto Add(F&& f, Args&&... args)
      -> std::future<std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>...>>;

  // Tasks queued and not yet taken by a worker; never waits behind a running task.
  uint64_t PendingTasks() const { return pending_.load(std::memory_order_acquire); }
  // Workers currently running a task. A task leaves the queue and marks its worker busy in
  // one step, so PendingTasks() + BusyWorkers() never misses a task in hand-over.
  int BusyWorkers() const;
  bool IsBusy(size_t worker) const { return busy_[worker].load(std::memory_order_acquire) != 0; }
  // True when the caller is one of this pool's own workers, which must not destroy the pool:
  // its destructor would join the calling thread.
  bool runsOnWorker() const;

  // Removes the oldest queued task without running it; its future never gets a value.
  void dropOldest();

  // Runs one queued callable; an exception escaping it is fatal to the process (exit code
  // -1 after its text, -2 for anything that is not a standard exception).
  static void runGuarded(const std::function<void()>& task);

 private:
  void workerLoop(size_t index);
  // Lets the workers run what is queued, then joins them.
  void stopAndJoin();
  static void reportStoppedAdd();

  std::vector<std::thread> workers_;
  std::unique_ptr<std::atomic<int>[]> busy_;
  std::deque<std::function<void()>> tasks_;
  std::mutex mutex_;
  std::condition_variable condition_;
  bool stop_ = false;
  std::atomic<uint64_t> pending_{0};  // size of tasks_, readable without the lock
};

template <typename F, typename... Args>
auto ThreadPool::Add(F&& f, Args&&... args)
    -> std::future<std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>...>> {
  using Result = std::invoke_result_t<std::decay_t<F>&, std::decay_t<Args>...>;
  auto task = std::make_shared<std::packaged_task<Result()>>(
      [f = std::forward<F>(f), bound = std::make_tuple(std::forward<Args>(args)...)]() mutable {
        return std::apply(f, std::move(bound));
      });
  std::future<Result> future = task->get_future();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_) {
      lock.unlock();
      reportStoppedAdd();
      return future;  // the task is released unrun: the future reports a broken promise
    }
    tasks_.emplace_back([task] { (*task)(); });
    pending_.fetch_add(1, std::memory_order_release);
  }
  condition_.notify_one();
  return future;
}

}  // namespace detail
}  // namespace fw
