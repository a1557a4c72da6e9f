#pragma once

#include "matcher_config.h"
#include "sgm_rules.h"

#include <cstdint>

// Census kernel and its launch geometry. Needs the CUDA built-ins (cuda_runtime.h) first.
namespace sgm::device::census {

// A block stages 8 image lines of 128 columns and writes 120 columns x 16 rows.
constexpr int kBlockWidth = 128;
constexpr int kOutputColumns = kBlockWidth - 2 * kCensusRadiusX;
constexpr int kOutputRows = 16;
constexpr int kStagedLines = 8;

inline dim3 grid(int width, int height) {
  return dim3((width + kOutputColumns - 1) / kOutputColumns,
              (height + kOutputRows - 1) / kOutputRows);
}

template <typename T, typename Word, int Mode>
__global__ void censusKernel(const T* src, std::int64_t src_step, Word* dst, std::int64_t dst_step,
                             int width, int height) {
  __shared__ T lines[kStagedLines][kBlockWidth];
  const int tid = threadIdx.x;
  const int x = blockIdx.x * kOutputColumns + tid - kCensusRadiusX;
  const int y0 = blockIdx.y * kOutputRows;

  // Pixels outside the image stage as 0; no output reads them.
  auto stage = [&](int line) {
    const bool inside = line >= 0 && line < height && x >= 0 && x < width;
    lines[line & (kStagedLines - 1)][tid] = inside ? src[line * src_step + x] : T(0);
  };
  for (int dy = -kCensusRadiusY; dy < kCensusRadiusY; ++dy) stage(y0 + dy);

  for (int i = 0; i < kOutputRows; ++i) {
    const int y = y0 + i;
    stage(y + kCensusRadiusY);
    __syncthreads();
    const bool own_column = tid >= kCensusRadiusX && tid < kBlockWidth - kCensusRadiusX;
    if (own_column && hasCensus(x, y, width, height)) {
      auto at = [&](int dx, int dy) { return lines[(y + dy) & (kStagedLines - 1)][tid + dx]; };
      if (Mode == kCensus9x7) {
        dst[y * dst_step + x] = static_cast<Word>(census9x7(at));
      } else {
        dst[y * dst_step + x] = static_cast<Word>(censusSymmetric(at));
      }
    }
    // The next line staged overwrites the oldest one.
    __syncthreads();
  }
}

}  // namespace sgm::device::census
