#include "framework/bounded_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using fw::BoundedPool;

// Spins (yielding) until `n` producers are blocked: no clock is read.
void untilBlocked(const BoundedPool& pool, int n) {
  while (pool.blockedProducers() != n) std::this_thread::yield();
}

// Occupies a pool's only worker until released (at the latest when it goes out of scope), so
// that later tasks stay queued. Releasing twice is harmless.
class HeldWorker {
 public:
  explicit HeldWorker(BoundedPool& pool) {
    std::shared_future<void> gate = release_.get_future().share();
    pool.add([this, gate] {
      running_.set_value();
      gate.wait();
    });
    running_.get_future().wait();
  }
  ~HeldWorker() { release(); }
  void release() {
    std::call_once(released_, [this] { release_.set_value(); });
  }

 private:
  std::promise<void> running_;
  std::promise<void> release_;
  std::once_flag released_;
};

// A one-worker pool whose worker is held, with `queued` counted tasks behind it.
struct HeldPool {
  explicit HeldPool(int queued) {
    for (int i = 0; i < queued; ++i) pool.add([this] { ++ran; });
  }
  std::atomic<int> ran{0};
  BoundedPool pool{1};
  HeldWorker worker{pool};  // after the pool: released before the pool joins its worker
};

TEST(BoundedPool, HoldsAProducerOnlyWhileMoreThanTheLimitWait) {
  HeldPool held(3);
  EXPECT_EQ(held.pool.waiting(), 3u);
  EXPECT_TRUE(held.pool.waitForRoom(3));  // at the limit: no wait
  std::vector<uint64_t> blockedAt;
  held.pool.setBlockHook([&](uint64_t waiting) {
    blockedAt.push_back(waiting);
    held.worker.release();  // the worker goes on once the producer is held
  });
  EXPECT_TRUE(held.pool.waitForRoom(1));
  EXPECT_LE(held.pool.waiting(), 1u);
  EXPECT_EQ(blockedAt, std::vector<uint64_t>{3});
  EXPECT_EQ(held.pool.blockedProducers(), 0);
}

TEST(BoundedPool, ProducerWaitsWhileTooManyTasksWaitAndGoesOnWhenOneStarts) {
  BoundedPool pool(1);
  HeldWorker held(pool);
  EXPECT_TRUE(pool.busy());
  for (int i = 0; i < 3; ++i) pool.add([] {});
  EXPECT_EQ(pool.waiting(), 3u);

  std::atomic<bool> returned{false};
  std::thread producer([&] {
    EXPECT_TRUE(pool.waitForRoom(2));
    returned = true;
  });
  // Held in the wait: no task can start before the worker is released.
  untilBlocked(pool, 1);
  EXPECT_FALSE(returned.load());
  held.release();
  producer.join();
  EXPECT_TRUE(returned.load());
  EXPECT_LE(pool.waiting(), 2u);
}

TEST(BoundedPool, ProducerGoesOnAtOnceWithinTheLimit) {
  BoundedPool pool(1);
  EXPECT_FALSE(pool.busy());
  EXPECT_TRUE(pool.waitForRoom(2));  // nothing queued
  HeldWorker held(pool);
  pool.add([] {});
  pool.add([] {});
  EXPECT_TRUE(pool.waitForRoom(2));  // two waiting, as many as allowed
  EXPECT_EQ(pool.blockedProducers(), 0);
}

TEST(BoundedPool, CancelWakesEveryBlockedProducer) {
  HeldPool held(2);
  std::vector<int> results(3, -1);
  std::vector<std::thread> producers;
  for (int i = 0; i < 3; ++i)
    producers.emplace_back([&, i] { results[i] = held.pool.waitForRoom(0) ? 1 : 0; });
  untilBlocked(held.pool, 3);
  held.pool.cancel();
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(results, std::vector<int>(3, 0));
  EXPECT_FALSE(held.pool.waitForRoom(0));  // later waits do not block either
  EXPECT_EQ(held.ran, 0);                  // the queued tasks are still there to run
}

TEST(BoundedPool, AThrowingTaskFreesItsPlaceAndReportsThroughItsFuture) {
  BoundedPool pool(1);
  auto failed = pool.add([]() -> int { throw std::runtime_error("task"); });
  auto fine = pool.add([] { return 7; });
  EXPECT_THROW(failed.get(), std::runtime_error);
  EXPECT_EQ(fine.get(), 7);
  EXPECT_TRUE(pool.waitForRoom(0));
  EXPECT_EQ(pool.waiting(), 0u);
}

TEST(BoundedPool, TasksRunInOrderAndOneThatThrowsStillFreesItsPlace) {
  std::vector<int> order;  // written by the only worker, read after it is joined
  {
    BoundedPool pool(1);
    HeldWorker held(pool);
    pool.add([] { throw std::runtime_error("a failing frame"); });  // future dropped
    for (int i = 1; i <= 3; ++i) pool.add([&order, i] { order.push_back(i); });
    held.release();
    // Returns only once every queued task, the failing one too, started.
    EXPECT_TRUE(pool.waitForRoom(0));
    EXPECT_EQ(pool.waiting(), 0u);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(BoundedPool, DestructionRunsEveryQueuedTask) {
  std::atomic<int> ran{0};
  {
    HeldPool held(0);
    for (int i = 0; i < 5; ++i) held.pool.add([&] { ++ran; });
  }  // the worker is released before the pool joins it
  EXPECT_EQ(ran, 5);
}

}  // namespace
