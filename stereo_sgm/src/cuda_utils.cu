#include "cuda_utils.h"
#include "device_image.h"

#include <cuda_runtime.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace sgm {
namespace {

__global__ void probeKernel(int* flag) { *flag = 1; }

__global__ void castKernel(const std::uint16_t* src, std::uint8_t* dst, std::size_t count) {
  const std::size_t i = static_cast<std::size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < count) dst[i] = static_cast<std::uint8_t>(src[i]);
}

constexpr int kCastThreads = 1024;

}  // namespace

void checkCuda(int code, const char* file, int line) {
  if (code == 0) return;
  const char* text = cudaGetErrorString(static_cast<cudaError_t>(code));
  char message[512];
  std::snprintf(message, sizeof message, "[CUDA Error] %s (code: %d) at %s:%d", text, code, file,
                line);
  std::printf("%s\n", message);
  throw std::runtime_error(message);
}

void checkLaunch(const char* file, int line) {
  checkCuda(static_cast<int>(cudaGetLastError()), file, line);
}

int runProbeKernel() {
  int* flag = nullptr;
  cudaError_t code = cudaMalloc(&flag, sizeof(int));
  if (code != cudaSuccess) return static_cast<int>(code);
  probeKernel<<<1, 1>>>(flag);
  code = cudaGetLastError();
  if (code == cudaSuccess) code = cudaDeviceSynchronize();
  const cudaError_t freed = cudaFree(flag);
  return static_cast<int>(code != cudaSuccess ? code : freed);
}

void cast_16bit_to_8bit(const DeviceImage& src, DeviceImage& dst) {
  if (src.type != ImageType::k16Bit) throw std::logic_error("cast to 8 bits needs a 16-bit source");
  dst.create(src.rows, src.cols, ImageType::k8Bit, src.step);
  const std::size_t count = static_cast<std::size_t>(src.rows) * src.step;
  if (count == 0) return;
  const unsigned blocks = static_cast<unsigned>((count + kCastThreads - 1) / kCastThreads);
  castKernel<<<blocks, kCastThreads>>>(src.ptr<const std::uint16_t>(), dst.ptr<std::uint8_t>(),
                                       count);
  SGM_CHECK_LAUNCH();
}

}  // namespace sgm
