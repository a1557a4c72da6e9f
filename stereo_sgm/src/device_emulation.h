#pragma once

// Runs the device kernels on the CPU for tests. Every thread of a block is a fiber on the
// calling thread; every barrier, shuffle and vote is a point where the fiber yields, and
// the fibers of a block run round by round, so at each such point every live thread of the
// block has arrived (stricter than a warp needs). Blocks run one after another, so a
// function-local static stands in for shared memory. Include before any kernel header.

#include <ucontext.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#define __global__
#define __device__
#define __shared__ static

struct dim3 {
  unsigned x = 1, y = 1, z = 1;
  dim3(unsigned x_ = 1, unsigned y_ = 1, unsigned z_ = 1) : x(x_), y(y_), z(z_) {}
};

struct uint2 {
  unsigned x, y;
};

inline dim3 threadIdx;
inline dim3 blockIdx;
inline dim3 blockDim;
inline dim3 gridDim;

namespace emulation {

constexpr int kWarpSize = 32;
constexpr std::size_t kFiberStack = 64 * 1024;

struct Fiber {
  ucontext_t context;
  std::vector<char> stack;
  dim3 index;
  bool done = false;
};

struct Block {
  ucontext_t scheduler;
  std::vector<Fiber> fibers;
  int current = 0;
  std::function<void()> kernel;
  // Values published by the lanes of each warp at the last exchange.
  std::vector<std::uint64_t> slots;
};

inline Block* block = nullptr;

inline int linearThread() {
  return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
}
inline int lane() { return linearThread() % kWarpSize; }
inline int warpBase() { return linearThread() - lane(); }

// Back to the scheduler until every live thread has come this far.
inline void yield() {
  Fiber& f = block->fibers[block->current];
  swapcontext(&f.context, &block->scheduler);
}

inline void runFiber() {
  block->kernel();
  block->fibers[block->current].done = true;
  swapcontext(&block->fibers[block->current].context, &block->scheduler);
}

// Every lane publishes its value, then reads the one of lane `source` of its warp.
template <typename T>
T exchange(T value, int source) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(T));
  block->slots[linearThread()] = bits;
  yield();
  bits = block->slots[warpBase() + source];
  yield();
  T out;
  std::memcpy(&out, &bits, sizeof(T));
  return out;
}

// Runs kernel() for every thread of every block of the grid.
inline void launch(dim3 grid, dim3 block_dim, std::function<void()> kernel) {
  blockDim = block_dim;
  gridDim = grid;
  const int threads = static_cast<int>(block_dim.x * block_dim.y * block_dim.z);
  Block context;
  context.kernel = std::move(kernel);
  context.fibers.resize(threads);
  context.slots.assign(threads + kWarpSize, 0);
  for (Fiber& f : context.fibers) f.stack.resize(kFiberStack);
  block = &context;
  for (unsigned bz = 0; bz < grid.z; ++bz)
    for (unsigned by = 0; by < grid.y; ++by)
      for (unsigned bx = 0; bx < grid.x; ++bx) {
        blockIdx = dim3(bx, by, bz);
        for (int t = 0; t < threads; ++t) {
          Fiber& f = context.fibers[t];
          f.done = false;
          f.index = dim3(t % block_dim.x, (t / block_dim.x) % block_dim.y,
                         t / (block_dim.x * block_dim.y));
          getcontext(&f.context);
          f.context.uc_stack.ss_sp = f.stack.data();
          f.context.uc_stack.ss_size = f.stack.size();
          f.context.uc_link = nullptr;
          makecontext(&f.context, runFiber, 0);
        }
        for (bool live = true; live;) {
          live = false;
          for (int t = 0; t < threads; ++t) {
            Fiber& f = context.fibers[t];
            if (f.done) continue;
            context.current = t;
            threadIdx = f.index;
            swapcontext(&context.scheduler, &f.context);
            live = live || !f.done;
          }
        }
      }
  block = nullptr;
}

}  // namespace emulation

inline void __syncthreads() { emulation::yield(); }
inline void __syncwarp(unsigned = 0xffffffffu) { emulation::yield(); }

template <typename T>
T __shfl_up_sync(unsigned, T value, unsigned delta, int width = emulation::kWarpSize) {
  const int lane = emulation::lane(), first = lane & ~(width - 1);
  const int source = lane - static_cast<int>(delta);
  return emulation::exchange(value, source < first ? lane : source);
}

template <typename T>
T __shfl_down_sync(unsigned, T value, unsigned delta, int width = emulation::kWarpSize) {
  const int lane = emulation::lane(), first = lane & ~(width - 1);
  const int source = lane + static_cast<int>(delta);
  return emulation::exchange(value, source >= first + width ? lane : source);
}

template <typename T>
T __shfl_xor_sync(unsigned, T value, int mask, int width = emulation::kWarpSize) {
  const int lane = emulation::lane(), first = lane & ~(width - 1);
  const int source = lane ^ mask;
  return emulation::exchange(value, source >= first + width ? lane : source);
}

// Lanes of a partial last warp read the spare slots past the block's end as true.
inline bool __all_sync(unsigned, bool predicate) {
  emulation::Block& b = *emulation::block;
  const int base = emulation::warpBase();
  const int lanes = static_cast<int>(b.fibers.size()) - base;
  b.slots[emulation::linearThread()] = predicate;
  emulation::yield();
  bool all = true;
  for (int i = 0; i < emulation::kWarpSize && i < lanes; ++i) all = all && b.slots[base + i] != 0;
  emulation::yield();
  return all;
}
