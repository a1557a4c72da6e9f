#include "stereosgm_image.h"

#include "stereo_sgm/src/cuda_utils.h"
#include "stereo_sgm/src/semi_global_matcher.h"
#include "stereosgm_front.h"

#include <cuda_runtime_api.h>

#include <cstdio>
#include <iostream>
#include <memory>

// Quiet on failure: a machine without a GPU (or with a driver too old) is an ordinary case,
// which the depth stage reports once in words; the CUDA error text would only name this file.
bool probeCudaDevice() {
  void* probe = nullptr;
  if (cudaMalloc(&probe, 4) != cudaSuccess) {
    cudaGetLastError();  // clear the sticky error so a later probe starts clean
    return false;
  }
  const bool freed = cudaFree(probe) == cudaSuccess;
  // A device older than the built architecture allocates but runs no kernel.
  return freed && sgm::runProbeKernel() == 0;
}

std::uint64_t getFreeGpuMemoryMB() {
  std::size_t free_bytes = 0, total_bytes = 0;
  if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) return 0;
  return free_bytes >> 20;
}

void reserveGpuMemory(std::uint64_t size) {
  std::cout << "New SGM module is used, no graphics memory pre-allocation.  " << size << "\n";
}

cv::Mat computeDisparitySGM(cv::Mat left, cv::Mat right, int disparitySize, int minDisparity,
                            int pathCount) {
  return sgm_front::matchPair(left, right, disparitySize, minDisparity, pathCount,
                              [](int width, int height, int size, const sgm::MatcherParameters& p) {
                                return std::make_unique<sgm::SemiGlobalMatcher>(
                                    width, height, size, 8, 16, sgm::kHostInHostOut, p);
                              });
}

void checkCudaError(int code, const char* file, int line) {
  if (code == 0) return;
  const char* text = cudaGetErrorString(static_cast<cudaError_t>(code));
  std::fprintf(stderr, "cuda error %s : %d %s\n", file, line, text);
  std::cout << "cuda error " << file << " : " << line << " " << text << std::endl;
  throw -1;
}
