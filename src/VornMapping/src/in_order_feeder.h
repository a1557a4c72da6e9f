#pragma once

#include "framework/bounded_pool.h"

#include <cstddef>
#include <functional>
#include <future>
#include <mutex>

// Runs jobs one at a time on a thread of its own, in the order they were posted. Handing the
// back end its located frames through one keeps the frames' order while the thread that
// locates them goes on with the next: on two cores locating and feeding overlap. At most
// `capacity` jobs wait; a post beyond that waits for room, so a slow consumer holds back its
// producer instead of letting located frames pile up in memory.
class InOrderFeeder {
 public:
  // A job that throws is reported to `onError` (its what(), or "unknown error") and the
  // jobs after it still run.
  explicit InOrderFeeder(
      size_t capacity, std::function<void(const char*)> onError = [](const char*) {});
  // Runs every job already posted, then ends the thread.
  ~InOrderFeeder() = default;
  InOrderFeeder(const InOrderFeeder&) = delete;
  InOrderFeeder& operator=(const InOrderFeeder&) = delete;

  // Queues the job; waits while `capacity` jobs are already waiting. From any thread but the
  // feeder's own (a job posting would wait for itself): there it runs at once.
  void post(std::function<void()> job);
  // Returns once every job posted before the call has run and been destroyed (with whatever
  // it held).
  void drain();

 private:
  void runSafely(std::function<void()>& job) const;

  const size_t capacity_;
  const std::function<void(const char*)> onError_;
  std::mutex mutex_;
  std::shared_future<void> last_;  // of the job posted last: one worker runs them in order
  fw::BoundedPool pool_{1};        // last: its destructor runs what is queued
};
