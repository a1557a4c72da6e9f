#include "framework/thread_pool.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using fw::detail::ThreadPool;

// Keeps a worker busy until released.
struct Gate {
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
  std::promise<void> entered;
};

void occupy(ThreadPool& pool, Gate& gate) {
  pool.Add([&gate] {
    gate.entered.set_value();
    gate.opened.wait();
  });
  gate.entered.get_future().wait();
}

bool isBrokenPromise(std::future<void>& future) {
  try {
    future.get();
  } catch (const std::future_error& e) {
    return e.code() == std::future_errc::broken_promise;
  }
  return false;
}

TEST(ThreadPool, OneWorkerRunsTasksInOrderAdded) {
  Gate gate;  // outlives the pool, whose worker waits on it
  ThreadPool pool(1);
  occupy(pool, gate);
  std::vector<int> order;  // touched only by the single worker
  std::vector<std::future<void>> done;
  for (int i = 0; i < 10; ++i) done.push_back(pool.Add([&order, i] { order.push_back(i); }));
  EXPECT_EQ(pool.PendingTasks(), 10u);
  gate.open.set_value();
  for (auto& f : done) f.get();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(ThreadPool, ResultsAndExceptionsComeOutOfTheFuture) {
  ThreadPool pool(2);
  auto sum = pool.Add([](int a, int b) { return a + b; }, 2, 3);
  auto flag = pool.Add([](const std::string& s) { return s == "fuse"; }, std::string("fuse"));
  auto fails = pool.Add([] { throw std::runtime_error("task failed"); });
  EXPECT_EQ(sum.get(), 5);
  EXPECT_TRUE(flag.get());
  // Let the worker release its share of the failed task first: the exception's own
  // reference count lives in uninstrumented library code, which ThreadSanitizer cannot see.
  fails.wait();
  while (pool.BusyWorkers() + pool.PendingTasks() != 0) std::this_thread::yield();
  try {
    fails.get();
    FAIL() << "expected the task's exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task failed");
  }
  // The pool goes on after a failed task.
  EXPECT_EQ(pool.Add([] { return 7; }).get(), 7);
}

TEST(ThreadPool, DestructionRunsEveryQueuedTask) {
  std::atomic<int> ran{0};
  {
    ThreadPool pool(1);
    pool.Add([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    for (int i = 0; i < 5; ++i) pool.Add([&ran] { ran.fetch_add(1); });
  }
  EXPECT_EQ(ran.load(), 5);
}

TEST(ThreadPool, ZeroWorkersQueueButNeverRun) {
  std::vector<std::future<void>> futures;
  {
    ThreadPool pool(0);
    for (int i = 0; i < 3; ++i) {
      futures.push_back(pool.Add([] {}));
      EXPECT_EQ(pool.PendingTasks(), static_cast<uint64_t>(i + 1));
    }
  }
  for (auto& f : futures) EXPECT_TRUE(isBrokenPromise(f));
}

TEST(ThreadPool, AddingToAStoppedPoolWritesMessageAndBreaksPromise) {
  auto pool = std::make_unique<ThreadPool>(1);
  ThreadPool* raw = pool.get();
  std::promise<bool> first_broken, second_broken;
  testing::internal::CaptureStderr();
  // The task keeps adding until the destructor has set the stop flag: only then does
  // an added task's future become ready while this one worker is still busy here.
  pool->Add([raw, &first_broken, &second_broken] {
    for (;;) {
      auto f = raw->Add([] {});
      if (f.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        first_broken.set_value(isBrokenPromise(f));
        break;
      }
    }
    auto again = raw->Add([] {});
    second_broken.set_value(isBrokenPromise(again));
  });
  std::thread destroyer([&pool] { pool.reset(); });
  destroyer.join();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(first_broken.get_future().get());
  EXPECT_TRUE(second_broken.get_future().get());
  // Each on a line of its own, so a status line after it still parses.
  const std::string message =
      "The ThreadPool object has been destroyed! Cannot add more tasks to the ThreadPool!\n";
  EXPECT_EQ(err, message + message);
}

TEST(ThreadPool, PendingCountsOnlyTasksNotYetTaken) {
  Gate a, b;
  ThreadPool pool(2);
  occupy(pool, a);
  occupy(pool, b);
  EXPECT_EQ(pool.PendingTasks(), 0u);
  EXPECT_EQ(pool.BusyWorkers(), 2);
  auto queued = pool.Add([] {});
  EXPECT_EQ(pool.PendingTasks(), 1u);
  a.open.set_value();
  b.open.set_value();
  queued.get();
  EXPECT_EQ(pool.PendingTasks(), 0u);
}

TEST(ThreadPool, KnowsItsOwnWorkers) {
  ThreadPool pool(2);
  ThreadPool other(1);
  EXPECT_FALSE(pool.runsOnWorker());
  EXPECT_TRUE(pool.Add([&pool] { return pool.runsOnWorker(); }).get());
  EXPECT_FALSE(other.Add([&pool] { return pool.runsOnWorker(); }).get());
}

TEST(ThreadPool, DropOldestDiscardsFrontTaskUnrun) {
  Gate gate;  // outlives the pool, whose worker waits on it
  ThreadPool pool(1);
  occupy(pool, gate);
  std::atomic<int> ran_mask{0};
  auto first = pool.Add([&ran_mask] { ran_mask.fetch_or(1); });
  auto second = pool.Add([&ran_mask] { ran_mask.fetch_or(2); });
  pool.dropOldest();
  EXPECT_EQ(pool.PendingTasks(), 1u);
  gate.open.set_value();
  second.get();
  EXPECT_TRUE(isBrokenPromise(first));
  EXPECT_EQ(ran_mask.load(), 2);
  pool.dropOldest();  // nothing queued: no effect
  EXPECT_EQ(pool.PendingTasks(), 0u);
}

TEST(ThreadPool, QueuedOrBusyNeverBothZeroWhileATaskIsUnfinished) {
  ThreadPool pool(1);
  int gaps = 0;
  for (int i = 0; i < 300; ++i) {
    auto f = pool.Add([] {});
    for (;;) {
      const uint64_t pending = pool.PendingTasks();  // read first: a task leaves the queue
      const int busy = pool.BusyWorkers();           // only once its worker shows busy
      const bool done = f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      if (done) break;
      // The future is ready before the worker goes idle, so a task seen unfinished
      // after reading 0 and 0 was lost between queue and worker.
      if (pending + busy == 0) ++gaps;
    }
  }
  EXPECT_EQ(gaps, 0);
}

TEST(ThreadPool, ManyProducersManyWorkers) {
  ThreadPool pool(4);
  std::atomic<int> sum{0};
  std::vector<std::thread> producers;
  std::mutex futures_mutex;
  std::vector<std::future<void>> futures;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto f = pool.Add([&sum] { sum.fetch_add(1); });
        std::lock_guard<std::mutex> lock(futures_mutex);
        futures.push_back(std::move(f));
      }
    });
  }
  for (std::thread& t : producers) t.join();
  for (auto& f : futures) f.get();
  EXPECT_EQ(sum.load(), 2000);
}

TEST(ThreadPoolDeathTest, EscapingExceptionEndsProcessWithItsCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ThreadPool::runGuarded([] { throw std::logic_error("wrapper broke"); }),
              testing::ExitedWithCode(255), "wrapper broke");
  EXPECT_EXIT(ThreadPool::runGuarded([] { throw 3; }), testing::ExitedWithCode(254),
              "Unkown exception catched.");
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than a limit near the process's own size.
// Exits 0 when a pool with room for only a few thread stacks (8 MiB each) throws.
void startPoolUnderAddressLimit() {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * ::getpagesize() + (48 << 20);
  const rlimit room{limit, limit};
  setrlimit(RLIMIT_AS, &room);
  try {
    ThreadPool pool(200);
  } catch (const std::system_error&) {
    std::exit(0);
  }
  std::exit(1);  // every worker started: the limit did not bite
}

TEST(ThreadPoolDeathTest, WorkersThatCannotAllStartFailTheConstructionWithoutAHang) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startPoolUnderAddressLimit(), testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
