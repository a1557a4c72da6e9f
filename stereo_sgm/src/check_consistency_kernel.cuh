#pragma once

#include "sgm_rules.h"

#include <cstdint>

// Left-right check kernel and its launch geometry. Needs the CUDA built-ins
// (cuda_runtime.h) first.
namespace sgm::device::consistency {

constexpr int kBlockSide = 16;

struct ConsistencyArgs {
  int width, height;
  std::int64_t left_step, right_step, src_step;
  bool subpixel;
  int lr_max_diff;
};

template <typename T>
__global__ void consistencyKernel(std::uint16_t* left, const std::uint16_t* right, const T* src,
                                  ConsistencyArgs a) {
  const int x = blockIdx.x * kBlockSide + threadIdx.x;
  const int y = blockIdx.y * kBlockSide + threadIdx.y;
  if (x >= a.width || y >= a.height) return;
  const std::uint16_t* right_row = right + y * a.right_step;
  auto right_at = [&](int xr) { return right_row[xr]; };
  std::uint16_t& d = left[y * a.left_step + x];
  d = consistentDisparity(d, src[y * a.src_step + x] == 0, x, a.width, a.subpixel, a.lr_max_diff,
                          right_at);
}

inline dim3 grid(int width, int height) {
  return dim3((width + kBlockSide - 1) / kBlockSide, (height + kBlockSide - 1) / kBlockSide);
}

}  // namespace sgm::device::consistency
