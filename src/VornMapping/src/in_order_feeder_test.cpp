#include "in_order_feeder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A gate a job waits at until the test opens it.
struct Gate {
  std::promise<void> opened;
  std::shared_future<void> wait = opened.get_future().share();
};

TEST(InOrderFeeder, RunsJobsFromSeveralProducersEachInItsOwnOrder) {
  std::vector<int> seen;
  {
    InOrderFeeder feeder(2);
    auto produce = [&](int base) {
      for (int i = 0; i < 200; ++i) feeder.post([&seen, base, i] { seen.push_back(base + i); });
    };
    std::thread a(produce, 0), b(produce, 1000);
    a.join();
    b.join();
    feeder.drain();
    ASSERT_EQ(seen.size(), 400u);
  }
  int lastA = -1, lastB = 999;
  for (int value : seen) {
    int& last = value < 1000 ? lastA : lastB;
    EXPECT_EQ(value, last + 1);
    last = value;
  }
}

TEST(InOrderFeeder, APostWaitsWhileTheQueueIsFull) {
  Gate gate;
  std::atomic<int> ran{0};
  InOrderFeeder feeder(1);
  feeder.post([&] { gate.wait.wait(); });  // taken by the feeder: the queue is empty again
  feeder.post([&] { ++ran; });             // fills the queue
  std::promise<void> thirdPosted;
  std::thread producer([&] {
    feeder.post([&] { ++ran; });
    thirdPosted.set_value();
  });
  std::future<void> posted = thirdPosted.get_future();
  // The third post cannot finish before the first job lets the queue move.
  EXPECT_EQ(posted.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  gate.opened.set_value();
  producer.join();
  feeder.drain();
  EXPECT_EQ(ran.load(), 2);
}

TEST(InOrderFeeder, DrainReturnsOnlyAfterWhatTheJobsHeldIsReleased) {
  InOrderFeeder feeder(4);
  auto held = std::make_shared<int>(7);
  std::weak_ptr<int> watch = held;
  std::atomic<int> sum{0};
  feeder.post([held = std::move(held), &sum] { sum += *held; });
  feeder.drain();
  EXPECT_EQ(sum.load(), 7);
  EXPECT_TRUE(watch.expired());
}

TEST(InOrderFeeder, AThrowingJobIsReportedAndTheNextStillRuns) {
  std::vector<std::string> errors;
  std::vector<int> seen;
  {
    InOrderFeeder feeder(2, [&](const char* reason) { errors.emplace_back(reason); });
    feeder.post([&] { seen.push_back(1); });
    feeder.post([] { throw std::runtime_error("no room"); });
    feeder.post([] { throw 3; });
    feeder.post([&] { seen.push_back(2); });
  }  // the destructor runs what is still queued
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(errors, (std::vector<std::string>{"no room", "unknown error"}));
}

TEST(InOrderFeeder, AJobPostingToItsOwnFeederRunsTheInnerJobAtOnce) {
  std::vector<int> seen;
  InOrderFeeder feeder(1);
  feeder.post([&] {
    seen.push_back(1);
    feeder.post([&] { seen.push_back(2); });
    feeder.drain();  // would wait for itself if it did not return at once
    seen.push_back(3);
  });
  feeder.drain();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

}  // namespace
