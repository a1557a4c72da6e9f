#include "values/function.h"
#include "values/var.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using sv::Var;

TEST(VarConcurrency, TwoThreadsPushingIntoOneArrayKeepEveryElement) {
  Var array = Var(std::vector<Var>());
  auto push = [array](int base) {
    for (int i = 0; i < 10000; ++i) array.push_back(Var(base + i));
  };
  std::thread first(push, 0);
  std::thread second(push, 100000);
  first.join();
  second.join();
  ASSERT_EQ(array.length(), 20000u);
  long long sum = 0;
  for (const Var& element : array.as<sv::VarArray>().value) sum += element.as<int>();
  EXPECT_EQ(sum, 2LL * (9999LL * 10000 / 2) + 10000LL * 100000);
}

TEST(VarConcurrency, FirstUseOfAClassFromManyThreadsMakesOneRecord) {
  struct FreshType {};
  std::atomic<bool> go{false};
  std::vector<sv::VarValue*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      seen[t] = sv::VarClass::instance<FreshType>().holder();
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  for (sv::VarValue* record : seen) EXPECT_EQ(record, seen[0]);
  EXPECT_NE(seen[0], nullptr);
}

TEST(VarConcurrency, ReadingElementsWhileAnotherThreadAppends) {
  Var array{0};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i < 20000; ++i) array.push_back(Var(i));
    done = true;
  });
  const Var& view = array;
  long long reads = 0;
  bool allFirstElements = true;
  // Reads at least once even when the writer finishes before this thread is scheduled.
  do {
    allFirstElements = allFirstElements && view[0].as<int>() == 0;
    ++reads;
  } while (!done.load());
  writer.join();
  EXPECT_TRUE(allFirstElements);
  EXPECT_GT(reads, 0);
}

TEST(VarConcurrency, OneFunctionCalledFromManyThreads) {
  Var f(sv::VarFunction([](const std::string& s) { return static_cast<int>(s.size()); }));
  sv::VarFunction& chained = f.as<sv::VarFunction>();
  chained.next = Var(sv::VarFunction([](int x) { return x * 2; }));
  std::vector<int> results(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      int total = 0;
      for (int i = 0; i < 2000; ++i) total += f.call(Var(i % 2 ? Var("ab") : Var(3))).as<int>();
      results[t] = total;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int total : results) EXPECT_EQ(total, 1000 * 2 + 1000 * 6);
}

TEST(VarConcurrency, AddingTwoContainersBothWaysRoundAtOnce) {
  // One thread adds a + b while another adds b + a: each takes both containers' locks.
  Var arrays[2] = {Var(std::vector<Var>{Var(1)}), Var(std::vector<Var>{Var(2), Var(3)})};
  Var objects[2] = {Var(std::unordered_map<std::string, Var>{{"a", Var(1)}}),
                    Var(std::unordered_map<std::string, Var>{{"b", Var(2)}})};
  bool allRight[2] = {false, false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      bool right = true;
      for (int i = 0; i < 2000; ++i) {
        right = right && (arrays[t] + arrays[1 - t]).length() == 3u;
        right = right && (objects[t] + objects[1 - t]).length() == 2u;
      }
      allRight[t] = right;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(allRight[0]);
  EXPECT_TRUE(allRight[1]);
}

TEST(VarConcurrency, ObjectEditsFromManyThreads) {
  Var object = Var(std::unordered_map<std::string, Var>());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([object, t]() mutable {
      for (int i = 0; i < 500; ++i) {
        object[std::to_string(t) + "." + std::to_string(i)] = i;
        object.set("shared", Var(i), false);
        object.get<int>("counter", 0, false);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(object.length(), 4u * 500u + 2u);
}

}  // namespace
