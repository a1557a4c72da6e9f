#pragma once

#include <cstdint>

// Error checks of CUDA runtime calls and launches, and small device utilities. No CUDA
// types appear here so that plain C++ files can include it.
namespace sgm {

// When code is not 0: prints "[CUDA Error] <text> (code: <code>) at <file>:<line>" to the
// standard output and throws std::runtime_error with that text.
void checkCuda(int code, const char* file, int line);

// Checks the last launch error.
void checkLaunch(const char* file, int line);

// Launches a one-thread kernel and waits for it; returns the CUDA error code (0: ran).
int runProbeKernel();

class DeviceImage;

// Low 8 bits of every element of a 16-bit image (rows x step elements).
void cast_16bit_to_8bit(const DeviceImage& src, DeviceImage& dst);

}  // namespace sgm

#define SGM_CHECK_CUDA(call) ::sgm::checkCuda(static_cast<int>(call), __FILE__, __LINE__)
#define SGM_CHECK_LAUNCH() ::sgm::checkLaunch(__FILE__, __LINE__)
