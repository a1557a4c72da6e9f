#pragma once

#include "sgm_rules.h"

#include <cstdint>

// Range correction kernel and its launch geometry. Needs the CUDA built-ins
// (cuda_runtime.h) first.
namespace sgm::device::range {

constexpr int kBlockSide = 16;

template <typename T>
__global__ void correctKernel(T* d, int width, int height, std::int64_t step, bool subpixel,
                              int min_disparity) {
  const int x = blockIdx.x * kBlockSide + threadIdx.x;
  const int y = blockIdx.y * kBlockSide + threadIdx.y;
  if (x >= width || y >= height) return;
  T& v = d[y * step + x];
  v = correctedDisparity(v, subpixel, min_disparity);
}

inline dim3 grid(int width, int height) {
  return dim3((width + kBlockSide - 1) / kBlockSide, (height + kBlockSide - 1) / kBlockSide);
}

}  // namespace sgm::device::range
