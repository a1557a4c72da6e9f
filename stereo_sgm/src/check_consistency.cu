#include "check_consistency.h"
#include "cuda_utils.h"
#include "device_image.h"

#include <cuda_runtime.h>

#include "check_consistency_kernel.cuh"

#include <stdexcept>

namespace sgm {
namespace {

using namespace device::consistency;

template <typename T>
void launch(DeviceImage& left, const DeviceImage& right, const DeviceImage& src,
            const ConsistencyArgs& a) {
  const dim3 block(kBlockSide, kBlockSide);
  consistencyKernel<T><<<grid(a.width, a.height), block>>>(
      left.ptr<std::uint16_t>(), right.ptr<const std::uint16_t>(), src.ptr<const T>(), a);
  SGM_CHECK_LAUNCH();
}

}  // namespace

void check_consistency(DeviceImage& left, const DeviceImage& right, const DeviceImage& src_left,
                       bool subpixel, int lr_max_diff) {
  if (left.type != ImageType::k16Bit || right.type != ImageType::k16Bit) throw std::logic_error("");
  const ConsistencyArgs a{static_cast<int>(left.cols),
                          static_cast<int>(left.rows),
                          left.step,
                          right.step,
                          src_left.step,
                          subpixel,
                          lr_max_diff};
  if (a.width == 0 || a.height == 0) return;
  switch (src_left.type) {
    case ImageType::k8Bit:
      return launch<std::uint8_t>(left, right, src_left, a);
    case ImageType::k16Bit:
      return launch<std::uint16_t>(left, right, src_left, a);
    case ImageType::k32Bit:
      return launch<std::uint32_t>(left, right, src_left, a);
    default:
      throw std::logic_error("left source must be 8, 16 or 32 bits");
  }
}

}  // namespace sgm
