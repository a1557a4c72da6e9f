#include "src/PointsFusion/src/stereo_dense/bounded_pool.h"

#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using pipeline_test::Latch;

// Spins (yielding) until `n` producers are blocked: no clock is read.
void untilBlocked(const BoundedPool& pool, int n) {
  while (pool.blockedProducers() != n) std::this_thread::yield();
}

// One worker held on a latch, with `queued` more tasks behind it.
struct HeldPool {
  explicit HeldPool(int queued) {
    pool.add([this] {
      entered.countDown();
      release.wait();
    });
    entered.wait();
    for (int i = 0; i < queued; ++i) pool.add([this] { ++ran; });
  }
  ~HeldPool() { release.countDown(); }
  Latch entered{1}, release{1};
  std::atomic<int> ran{0};
  BoundedPool pool{1};
};

TEST(BoundedPool, HoldsAProducerOnlyWhileMoreThanTheLimitWait) {
  HeldPool held(3);
  EXPECT_EQ(held.pool.waiting(), 3u);
  EXPECT_TRUE(held.pool.waitForRoom(3));  // at the limit: no wait
  std::vector<uint64_t> blockedAt;
  held.pool.setBlockHook([&](uint64_t waiting) {
    blockedAt.push_back(waiting);
    held.release.countDown();  // the worker goes on once the producer is held
  });
  EXPECT_TRUE(held.pool.waitForRoom(1));
  EXPECT_LE(held.pool.waiting(), 1u);
  EXPECT_EQ(blockedAt, std::vector<uint64_t>{3});
  EXPECT_EQ(held.pool.blockedProducers(), 0);
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

TEST(BoundedPool, DestructionRunsEveryQueuedTask) {
  std::atomic<int> ran{0};
  {
    HeldPool held(0);
    for (int i = 0; i < 5; ++i) held.pool.add([&] { ++ran; });
  }  // the latch opens before the pool joins its worker
  EXPECT_EQ(ran, 5);
}

}  // namespace
