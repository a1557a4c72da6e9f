#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

// The one door into the GPU matcher: device probe, free device memory, and matching of one
// rectified 8-bit pair with fixed parameters.

// True when a CUDA device can allocate memory and run a kernel.
bool probeCudaDevice();

// Free device memory in MiB; 0 when there is no device or the query fails.
std::uint64_t getFreeGpuMemoryMB();

// Announces the matching size on the standard output; allocates nothing.
void reserveGpuMemory(std::uint64_t size);

// Disparity of a rectified pair (8-bit single channel, same size): CV_16SC1, 16 x disparity
// with 4 fractional bits, 16 x (minDisparity - 1) where invalid. pathCount 4 selects four
// paths, any other count eight.
cv::Mat computeDisparitySGM(cv::Mat left, cv::Mat right, int disparitySize, int minDisparity,
                            int pathCount);

// Throws the integer -1 after printing the error when code is not 0.
void checkCudaError(int code, const char* file, int line);
