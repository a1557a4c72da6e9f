#pragma once

#include "sgm_rules.h"

#include <cstdint>

// Path aggregation kernel and its launch geometry. Needs the CUDA built-ins
// (cuda_runtime.h) first.
namespace sgm::device::aggregation {

constexpr unsigned kFullMask = 0xffffffffu;
// Vertical and oblique paths: 256 threads, 16 disparities per thread (4096 / D lines a
// block). Horizontal paths: 128 threads, 8 disparities per thread (1024 / D lines a block).
constexpr int kLongThreads = 256;
constexpr int kLongDisparitiesPerThread = 16;
constexpr int kRowThreads = 128;
constexpr int kRowDisparitiesPerThread = 8;

// Path directions in slice order.
constexpr int kPathDx[8] = {0, 0, 1, -1, 1, -1, -1, 1};
constexpr int kPathDy[8] = {1, -1, 0, 0, 1, 1, -1, -1};

struct PathArgs {
  int width, height;
  int dx, dy;
  int lines;  // path lines of this direction
  int p1, p2, min_disparity;
};

template <int N>
__device__ void storeCosts(std::uint8_t* dst, const int (&v)[N]) {
  static_assert(N % 8 == 0, "costs are stored in 8-byte words");
  auto pack = [&](int first) {
    return static_cast<unsigned>(v[first]) | (static_cast<unsigned>(v[first + 1]) << 8) |
           (static_cast<unsigned>(v[first + 2]) << 16) |
           (static_cast<unsigned>(v[first + 3]) << 24);
  };
  for (int w = 0; w < N / 8; ++w) {
    uint2 word;
    word.x = pack(8 * w);
    word.y = pack(8 * w + 4);
    reinterpret_cast<uint2*>(dst)[w] = word;
  }
}

// A group of D / DP lanes walks one path line, each lane keeping DP previous costs in
// registers; neighbouring disparities and the minimum come through shuffles. Every lane of
// a warp runs the same number of steps so the shuffles stay in step; lanes off the image
// only skip the memory work.
template <typename C, int D, int DP>
__global__ void aggregateKernel(const C* left, const C* right, std::uint8_t* dst, PathArgs a) {
  constexpr int kGroup = D / DP;
  const int lines_per_block = blockDim.x / kGroup;
  const int sub = threadIdx.x % kGroup;
  const int line = blockIdx.x * lines_per_block + threadIdx.x / kGroup;
  const bool line_valid = line < a.lines;

  // Start and length of this line.
  int x = 0, y = 0, steps = 0;
  if (a.dy == 0) {
    y = line;
    x = a.dx > 0 ? 0 : a.width - 1;
    steps = a.width;
  } else {
    y = a.dy > 0 ? 0 : a.height - 1;
    x = a.dx == 0 ? line : (a.dx > 0 ? line - (a.height - 1) : line);
    steps = a.height;
  }

  int prev[DP];
  for (int i = 0; i < DP; ++i) prev[i] = 0;
  const int d0 = sub * DP;

  for (int s = 0; s < steps; ++s, x += a.dx, y += a.dy) {
    const bool inside = line_valid && x >= 0 && x < a.width && y >= 0 && y < a.height;
    int below = __shfl_up_sync(kFullMask, prev[DP - 1], 1, kGroup);
    int above = __shfl_down_sync(kFullMask, prev[0], 1, kGroup);
    if (sub == 0) below = kNoNeighbourCost;
    if (sub == kGroup - 1) above = kNoNeighbourCost;
    int prev_min = prev[0];
    for (int i = 1; i < DP; ++i) prev_min = minOf(prev_min, prev[i]);
    for (int offset = kGroup / 2; offset > 0; offset /= 2)
      prev_min = minOf(prev_min, __shfl_xor_sync(kFullMask, prev_min, offset, kGroup));
    if (!inside) continue;

    const std::size_t pixel = static_cast<std::size_t>(y) * a.width + x;
    const C* right_row = right + static_cast<std::size_t>(y) * a.width;
    const C l = left[pixel];
    int next[DP];
    for (int i = 0; i < DP; ++i) {
      const int d = d0 + i;
      const int cost = matchingCost(l, right_row, rightColumn(x, d, a.min_disparity), a.width);
      next[i] = pathCost(cost, prev[i], i == 0 ? below : prev[i - 1],
                         i == DP - 1 ? above : prev[i + 1], prev_min, a.p1, a.p2);
    }
    for (int i = 0; i < DP; ++i) prev[i] = next[i];
    storeCosts(dst + pixel * D + d0, prev);
  }
}

// Launch geometry of one path: threads per block, lines, blocks.
struct PathLaunch {
  int threads = 0, lines = 0;
  unsigned blocks = 0;
};

template <int D>
PathLaunch pathLaunch(int dx, int dy, int width, int height) {
  PathLaunch l;
  if (dy == 0) {
    l.threads = kRowThreads;
    l.lines = height;
  } else {
    l.threads = kLongThreads;
    l.lines = dx == 0 ? width : width + height - 1;
  }
  const int per_thread = dy == 0 ? kRowDisparitiesPerThread : kLongDisparitiesPerThread;
  const int lines_per_block = l.threads / (D / per_thread);
  l.blocks = (l.lines + lines_per_block - 1) / lines_per_block;
  return l;
}

}  // namespace sgm::device::aggregation
