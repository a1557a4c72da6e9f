#include "framework/thread_pool.h"

#include <cstdlib>
#include <exception>
#include <iostream>

namespace fw {
namespace detail {

ThreadPool::ThreadPool(int count) : busy_(new std::atomic<int>[count > 0 ? count : 0]) {
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  for (size_t i = 0; i < n; ++i) busy_[i].store(0, std::memory_order_relaxed);
  workers_.reserve(n);
  try {
    for (size_t i = 0; i < n; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  } catch (...) {
    // A thread that cannot be started (no memory for its stack) fails the construction; the
    // workers already started must end first, or their wait would outlive the pool.
    stopAndJoin();
    throw;
  }
}

ThreadPool::~ThreadPool() { stopAndJoin(); }

void ThreadPool::stopAndJoin() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  condition_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

int ThreadPool::BusyWorkers() const {
  int busy = 0;
  for (size_t i = 0; i < workers_.size(); ++i) busy += IsBusy(i) ? 1 : 0;
  return busy;
}

bool ThreadPool::runsOnWorker() const {
  const std::thread::id self = std::this_thread::get_id();
  for (const std::thread& worker : workers_) {
    if (worker.get_id() == self) return true;
  }
  return false;
}

void ThreadPool::dropOldest() {
  std::function<void()> dropped;  // released after the lock: it may own large payloads
  std::lock_guard<std::mutex> lock(mutex_);
  if (tasks_.empty()) return;
  dropped = std::move(tasks_.front());
  tasks_.pop_front();
  pending_.fetch_sub(1, std::memory_order_release);
}

void ThreadPool::reportStoppedAdd() {
  std::cerr << "The ThreadPool object has been destroyed! Cannot add more tasks to the ThreadPool!"
            << std::endl;  // a line of its own: status lines share this stream
}

void ThreadPool::runGuarded(const std::function<void()>& task) {
  try {
    task();
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    // Static destructors must not run under the other live threads.
    std::_Exit(-1);
  } catch (...) {
    std::cerr << "Unkown exception catched." << std::endl;
    std::_Exit(-2);
  }
}

void ThreadPool::workerLoop(size_t index) {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      condition_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopped and drained
      task = std::move(tasks_.front());
      tasks_.pop_front();
      busy_[index].store(1, std::memory_order_release);
      pending_.fetch_sub(1, std::memory_order_release);
    }
    runGuarded(task);
    task = nullptr;  // release the task's captures before the worker counts as idle
    busy_[index].store(0, std::memory_order_release);
  }
}

}  // namespace detail
}  // namespace fw
