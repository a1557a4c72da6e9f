#pragma once

#include "sgm_rules.h"

#include <cstdint>

// Median kernel and its launch geometry. Needs the CUDA built-ins (cuda_runtime.h) first.
namespace sgm::device::median {

constexpr int kBlockSide = 16;

// Each thread filters PerThread neighbouring pixels of a row.
template <typename T, int PerThread>
__global__ void medianKernel(const T* src, T* dst, int width, int height, std::int64_t step) {
  const int x0 = (blockIdx.x * kBlockSide + threadIdx.x) * PerThread;
  const int y = blockIdx.y * kBlockSide + threadIdx.y;
  if (y >= height) return;
  auto at = [&](int x, int yy) { return src[yy * step + x]; };
  for (int i = 0; i < PerThread; ++i) {
    const int x = x0 + i;
    if (x < width) dst[y * step + x] = medianAt<T>(at, x, y, width, height);
  }
}

template <int PerThread>
dim3 grid(int width, int height) {
  const int thread_columns = (width + PerThread - 1) / PerThread;
  return dim3((thread_columns + kBlockSide - 1) / kBlockSide,
              (height + kBlockSide - 1) / kBlockSide);
}

}  // namespace sgm::device::median
