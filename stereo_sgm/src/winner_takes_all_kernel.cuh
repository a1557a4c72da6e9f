#pragma once

#include "sgm_rules.h"

#include <cstdint>

// Winner-takes-all kernel and its launch geometry. Needs the CUDA built-ins
// (cuda_runtime.h) first.
namespace sgm::device::wta {

constexpr unsigned kFullMask = 0xffffffffu;
constexpr int kWarp = 32;
constexpr int kRowsPerBlock = 8;  // one warp per image row
constexpr int kThreads = kRowsPerBlock * kWarp;

struct WtaArgs {
  int width, height;
  std::int64_t left_step, right_step;
  float uniqueness;
  bool subpixel;
};

template <int D, int Paths>
__global__ void winnerKernel(const std::uint8_t* costs, std::uint16_t* left, std::uint16_t* right,
                             WtaArgs a) {
  constexpr int kPerLane = D / kWarp;
  // Summed costs of the current pixel, and for each right pixel still open the best key
  // seen so far (ring indexed by right column modulo D).
  __shared__ std::uint32_t sums[kRowsPerBlock][D];
  __shared__ std::uint32_t ring[kRowsPerBlock][D];
  const int warp = threadIdx.x / kWarp, lane = threadIdx.x % kWarp;
  const int y = blockIdx.x * kRowsPerBlock + warp;
  if (y >= a.height) return;  // whole warps only: no block-wide barrier follows

  for (int i = lane; i < D; i += kWarp) ring[warp][i] = ~0u;
  __syncwarp();

  const std::size_t slice = static_cast<std::size_t>(a.width) * a.height * D;
  const int d0 = lane * kPerLane;
  std::uint16_t* left_row = left + y * a.left_step;
  std::uint16_t* right_row = right + y * a.right_step;

  for (int x = 0; x < a.width; ++x) {
    const std::size_t base = (static_cast<std::size_t>(y) * a.width + x) * D + d0;
    std::uint32_t s[kPerLane];
    for (int i = 0; i < kPerLane; ++i) s[i] = 0;
    for (int k = 0; k < Paths; ++k)
      for (int i = 0; i < kPerLane; ++i) s[i] += costs[slice * k + base + i];

    std::uint32_t key = ~0u;
    for (int i = 0; i < kPerLane; ++i) {
      sums[warp][d0 + i] = s[i];
      key = minOf(key, winnerKey(s[i], d0 + i));
    }
    for (int offset = kWarp / 2; offset > 0; offset /= 2)
      key = minOf(key, __shfl_xor_sync(kFullMask, key, offset));
    const int best_d = static_cast<int>(key & 0xffff);
    const std::uint32_t best_cost = key >> 16;
    bool unique = true;
    for (int i = 0; i < kPerLane; ++i) {
      const int d = d0 + i;
      if ((d - best_d >= 2 || best_d - d >= 2) && !uniqueAgainst(s[i], best_cost, a.uniqueness))
        unique = false;
    }
    unique = __all_sync(kFullMask, unique);

    // Left pixel x at disparity d is right pixel x - d's candidate d.
    for (int i = 0; i < kPerLane; ++i) {
      const int xr = x - (d0 + i);
      if (xr >= 0) {
        std::uint32_t& slot = ring[warp][xr & (D - 1)];
        slot = minOf(slot, winnerKey(s[i], d0 + i));
      }
    }
    __syncwarp();
    if (lane == 0) {
      const std::uint32_t below = best_d > 0 ? sums[warp][best_d - 1] : 0;
      const std::uint32_t above = best_d < D - 1 ? sums[warp][best_d + 1] : 0;
      left_row[x] = unique ? refinedDisparity(best_d, D, below, best_cost, above, a.subpixel)
                           : kInvalidDisparity;
      // Right pixel x - (D - 1) has seen every candidate.
      const int done = x - (D - 1);
      if (done >= 0) {
        std::uint32_t& slot = ring[warp][done & (D - 1)];
        right_row[done] = static_cast<std::uint16_t>(slot & 0xffff);
        slot = ~0u;
      }
    }
    __syncwarp();
  }
  // The last right pixels see only the left pixels up to the row's end.
  const int first_open = a.width - (D - 1) > 0 ? a.width - (D - 1) : 0;
  for (int xr = first_open + lane; xr < a.width; xr += kWarp)
    right_row[xr] = static_cast<std::uint16_t>(ring[warp][xr & (D - 1)] & 0xffff);
}

inline unsigned blocks(int height) { return (height + kRowsPerBlock - 1) / kRowsPerBlock; }

}  // namespace sgm::device::wta
