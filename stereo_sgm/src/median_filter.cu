#include "cuda_utils.h"
#include "device_image.h"
#include "median_filter.h"

#include <cuda_runtime.h>

#include "median_kernel.cuh"

#include <stdexcept>

namespace sgm {
namespace {

using namespace device::median;

template <typename T, int PerThread>
void launch(const DeviceImage& src, DeviceImage& dst) {
  const int width = static_cast<int>(src.cols), height = static_cast<int>(src.rows);
  const dim3 block(kBlockSide, kBlockSide);
  medianKernel<T, PerThread><<<grid<PerThread>(width, height), block>>>(
      src.ptr<const T>(), dst.ptr<T>(), width, height, src.step);
  SGM_CHECK_LAUNCH();
}

}  // namespace

void median_filter(const DeviceImage& src, DeviceImage& dst) {
  dst.create(src.rows, src.cols, src.type, src.step);
  if (src.rows == 0 || src.cols == 0) return;
  if (src.type == ImageType::k8Bit) {
    if (src.step % 4 == 0) return launch<std::uint8_t, 4>(src, dst);
    return launch<std::uint8_t, 1>(src, dst);
  }
  if (src.type == ImageType::k16Bit) {
    if (src.step % 2 == 0) return launch<std::uint16_t, 2>(src, dst);
    return launch<std::uint16_t, 1>(src, dst);
  }
  throw std::logic_error("median filter takes 8- or 16-bit images");
}

}  // namespace sgm
