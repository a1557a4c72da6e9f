#include "in_order_feeder.h"

#include <algorithm>
#include <exception>
#include <utility>

InOrderFeeder::InOrderFeeder(size_t capacity, std::function<void(const char*)> onError)
    : capacity_(std::max<size_t>(capacity, 1)), onError_(std::move(onError)) {
  thread_ = std::thread(&InOrderFeeder::work, this);
}

InOrderFeeder::~InOrderFeeder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void InOrderFeeder::post(std::function<void()> job) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    runSafely(job);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.size() < capacity_; });
  jobs_.push_back(std::move(job));
  lock.unlock();
  changed_.notify_all();
}

void InOrderFeeder::drain() {
  if (std::this_thread::get_id() == thread_.get_id()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void InOrderFeeder::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !jobs_.empty() || ending_; });
    if (jobs_.empty()) return;  // ending, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    changed_.notify_all();  // room for a waiting post
    runSafely(job);
    job = nullptr;  // what the job held goes before drain() returns
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

void InOrderFeeder::runSafely(std::function<void()>& job) {
  try {
    job();
  } catch (const std::exception& e) {
    onError_(e.what());
  } catch (...) {
    onError_("unknown error");
  }
}
