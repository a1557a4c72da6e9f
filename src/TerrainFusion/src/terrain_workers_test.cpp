#include "src/TerrainFusion/src/terrain_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Occupies a pool's only worker until released, so that later tasks stay queued.
class BlockedWorker {
 public:
  explicit BlockedWorker(TerrainWorkers& workers) {
    std::shared_future<void> gate = release_.get_future().share();
    workers.add([this, gate] {
      running_.set_value();
      gate.wait();
    });
    running_.get_future().wait();
  }
  void release() { release_.set_value(); }

 private:
  std::promise<void> running_;
  std::promise<void> release_;
};

TEST(TerrainWorkers, ProducerWaitsWhileTooManyTasksWaitAndGoesOnWhenOneStarts) {
  TerrainWorkers workers(1, 2);
  BlockedWorker blocked(workers);
  EXPECT_TRUE(workers.busy());
  for (int i = 0; i < 3; ++i) workers.add([] {});
  EXPECT_EQ(workers.waiting(), 3u);

  std::atomic<bool> returned{false};
  std::thread producer([&] {
    workers.waitForRoom();
    returned = true;
  });
  // Held in the wait: no task can start before the worker is released.
  while (workers.blockedProducers() == 0) std::this_thread::yield();
  EXPECT_FALSE(returned.load());
  blocked.release();
  producer.join();
  EXPECT_TRUE(returned.load());
  EXPECT_LE(workers.waiting(), 2u);
}

TEST(TerrainWorkers, ProducerGoesOnAtOnceWithinTheLimit) {
  TerrainWorkers workers(1, 2);
  EXPECT_FALSE(workers.busy());
  workers.waitForRoom();  // nothing queued
  BlockedWorker blocked(workers);
  workers.add([] {});
  workers.add([] {});
  workers.waitForRoom();  // two waiting, as many as allowed
  EXPECT_EQ(workers.blockedProducers(), 0);
  blocked.release();
}

TEST(TerrainWorkers, TasksRunInOrderAndOneThatThrowsStillFreesItsPlace) {
  std::vector<int> order;  // written by the only worker, read after it is joined
  {
    TerrainWorkers workers(1, 0);
    BlockedWorker blocked(workers);
    workers.add([] { throw std::runtime_error("a failing frame"); });
    for (int i = 1; i <= 3; ++i) workers.add([&order, i] { order.push_back(i); });
    blocked.release();
    workers.waitForRoom();  // returns only once every queued task, the failing one too, started
    EXPECT_EQ(workers.waiting(), 0u);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
