#include "stereosgm_image.h"

#include "stereo_sgm/src/cuda_utils.h"
#include "stereo_sgm/src/semi_global_matcher.h"
#include "stereosgm_front.h"

#include <cuda_runtime_api.h>

#include <cstdio>
#include <iostream>
#include <memory>

bool probeCudaDevice() {
  try {
    void* probe = nullptr;
    checkCudaError(cudaMalloc(&probe, 4), __FILE__, __LINE__);
    checkCudaError(cudaFree(probe), __FILE__, __LINE__);
    // A device older than the built architecture allocates but runs no kernel.
    checkCudaError(sgm::runProbeKernel(), __FILE__, __LINE__);
  } catch (int) {
    return false;
  }
  return true;
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
