#include "census_transform.h"
#include "cuda_utils.h"
#include "device_image.h"

#include <cuda_runtime.h>

#include "census_kernel.cuh"

#include <stdexcept>

namespace sgm {
namespace {

using namespace device::census;

template <typename T>
void launchFor(const DeviceImage& src, DeviceImage& dst, int census_mode) {
  const int width = static_cast<int>(src.cols), height = static_cast<int>(src.rows);
  const dim3 block(kBlockWidth);
  const dim3 blocks = grid(width, height);
  if (census_mode == kCensus9x7) {
    censusKernel<T, std::uint64_t, kCensus9x7><<<blocks, block>>>(
        src.ptr<const T>(), src.step, dst.ptr<std::uint64_t>(), dst.step, width, height);
  } else {
    censusKernel<T, std::uint32_t, kCensusSymmetric><<<blocks, block>>>(
        src.ptr<const T>(), src.step, dst.ptr<std::uint32_t>(), dst.step, width, height);
  }
  SGM_CHECK_LAUNCH();
}

}  // namespace

void census_transform(const DeviceImage& src, DeviceImage& dst, int census_mode) {
  if (census_mode != kCensus9x7 && census_mode != kCensusSymmetric)
    throw std::logic_error("census mode must be 0 or 1");
  dst.create(src.rows, src.cols, census_mode == kCensus9x7 ? ImageType::k64Bit : ImageType::k32Bit);
  if (src.rows == 0 || src.cols == 0) return;
  switch (src.type) {
    case ImageType::k8Bit:
      return launchFor<std::uint8_t>(src, dst, census_mode);
    case ImageType::k16Bit:
      return launchFor<std::uint16_t>(src, dst, census_mode);
    case ImageType::k32Bit:
      return launchFor<std::uint32_t>(src, dst, census_mode);
    default:
      throw std::logic_error("census source must be 8, 16 or 32 bits");
  }
}

}  // namespace sgm
