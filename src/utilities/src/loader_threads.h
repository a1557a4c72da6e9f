#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// The image loader threads of a dataset: one thread per job, joined when finished (reaped by
// the owner between jobs) and all joined when the set is destroyed, so no loader outlives the
// dataset whose frames it fills.
class LoaderThreads {
 public:
  LoaderThreads() = default;
  ~LoaderThreads();
  LoaderThreads(const LoaderThreads&) = delete;
  LoaderThreads& operator=(const LoaderThreads&) = delete;

  void start(std::function<void()> job);
  // Joins the threads whose job has ended, so their resources do not pile up over a long run.
  void reapFinished();
  size_t count() const { return loaders_.size(); }

 private:
  struct Loader {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Loader> loaders_;
};
