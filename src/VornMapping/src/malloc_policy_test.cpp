#include "malloc_policy.h"

#include "testsupport/sanitizer_build.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

#if defined(__GLIBC__)
// The heaps the C library keeps, as its statistics list them.
int heapCount() {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = ::open_memstream(&text, &size);
  if (!out) return -1;
  ::malloc_info(0, out);
  std::fclose(out);
  int count = 0;
  for (const char* at = text; (at = std::strstr(at, "<heap nr=")) != nullptr; ++at) ++count;
  std::free(text);
  return count;
}
#endif

// Lets threads go on once all of them have arrived.
class Gate {
 public:
  explicit Gate(int count) : waiting_(count) {}
  void arriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0) changed_.notify_all();
    changed_.wait(lock, [this] { return waiting_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_;
};

}  // namespace

// Threads that allocate at the same time must not each get a heap of their own.
TEST(MallocPolicy, ThreadsAllocatingAtOnceAddNoHeap) {
#if defined(__GLIBC__)
  if (vmtest::kAddressSanitizerBuild || vmtest::kThreadSanitizerBuild)
    GTEST_SKIP() << "the sanitizer's allocator ignores the setting";
  shareOneHeapAcrossThreads();
  constexpr int kThreads = 16;
  const int before = heapCount();
  ASSERT_GT(before, 0);
  Gate allocated(kThreads + 1);
  Gate counted(kThreads + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      // Volatile, so that the allocation is not optimised away.
      void* volatile block = std::malloc(4096);
      if (block) std::memset(block, 1, 4096);
      allocated.arriveAndWait();
      counted.arriveAndWait();  // alive, holding its block, while the heaps are counted
      std::free(block);
    });
  }
  allocated.arriveAndWait();
  const int during = heapCount();
  counted.arriveAndWait();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(during, before);
#else
  GTEST_SKIP() << "no such setting in this C library";
#endif
}

// A block of the size of a frame's images, freed, stays in the heap for the next one, which
// takes its place instead of new pages; a block beyond the limit is mapped apart.
TEST(MallocPolicy, FreedImageSizedBlocksAreReused) {
#if defined(__GLIBC__)
  if (vmtest::kAddressSanitizerBuild || vmtest::kThreadSanitizerBuild)
    GTEST_SKIP() << "the sanitizer's allocator ignores the setting";
  keepFreedBlocksForReuse();
  constexpr size_t kImage = 20 << 20;
  const struct mallinfo2 before = ::mallinfo2();
  char* volatile first = static_cast<char*>(std::malloc(kImage));
  ASSERT_TRUE(first);
  std::memset(first, 1, kImage);
  EXPECT_EQ(::mallinfo2().hblks, before.hblks) << "taken from the heap";
  std::free(first);
  const struct mallinfo2 freed = ::mallinfo2();
  EXPECT_GE(freed.fordblks, kImage) << "kept free in the heap";
  char* volatile second = static_cast<char*>(std::malloc(kImage));
  ASSERT_TRUE(second);
  EXPECT_EQ(::mallinfo2().arena, freed.arena) << "in the place of the first";
  std::free(second);

  void* volatile large = std::malloc(size_t(kHeapBlockLimit) + 1);
  ASSERT_TRUE(large);
  EXPECT_EQ(::mallinfo2().hblks, before.hblks + 1);
  std::free(large);
#else
  GTEST_SKIP() << "no such setting in this C library";
#endif
}
