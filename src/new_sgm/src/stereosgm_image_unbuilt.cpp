#include "stereosgm_image.h"

#include <iostream>
#include <stdexcept>

// Linked where the GPU matcher is not compiled (no nvcc, or a sanitizer build): there is no
// device, so the depth stage takes the CPU path.

bool probeCudaDevice() { return false; }

std::uint64_t getFreeGpuMemoryMB() { return 0; }

void reserveGpuMemory(std::uint64_t size) {
  std::cout << "New SGM module is used, no graphics memory pre-allocation.  " << size << "\n";
}

cv::Mat computeDisparitySGM(cv::Mat, cv::Mat, int, int, int) {
  throw std::runtime_error("GPU matcher not built");
}

void checkCudaError(int code, const char*, int) {
  if (code != 0) throw -1;
}
