#include "loader_threads.h"

#include <algorithm>
#include <utility>

LoaderThreads::~LoaderThreads() {
  for (Loader& loader : loaders_) loader.thread.join();
}

void LoaderThreads::start(std::function<void()> job) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([job = std::move(job), done] {
    job();
    done->store(true);
  });
  loaders_.push_back(Loader{std::move(thread), std::move(done)});
}

void LoaderThreads::reapFinished() {
  auto finished = std::stable_partition(loaders_.begin(), loaders_.end(),
                                        [](const Loader& loader) { return !loader.done->load(); });
  for (auto it = finished; it != loaders_.end(); ++it) it->thread.join();
  loaders_.erase(finished, loaders_.end());
}
