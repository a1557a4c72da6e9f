#include "correct_disparity_range.h"
#include "cuda_utils.h"
#include "device_image.h"

#include <cuda_runtime.h>

#include "correct_disparity_range_kernel.cuh"

#include <stdexcept>

namespace sgm {

using device::range::correctKernel;
using device::range::kBlockSide;

void correct_disparity_range(DeviceImage& disparity, bool subpixel, int min_disparity) {
  if (disparity.type != ImageType::k16Bit)
    throw std::logic_error("range correction takes a 16-bit disparity image");
  if (!rangeCorrectionNeeded(subpixel, min_disparity)) return;
  const int width = static_cast<int>(disparity.cols), height = static_cast<int>(disparity.rows);
  if (width == 0 || height == 0) return;
  const dim3 block(kBlockSide, kBlockSide);
  correctKernel<std::uint16_t><<<device::range::grid(width, height), block>>>(
      disparity.ptr<std::uint16_t>(), width, height, disparity.step, subpixel, min_disparity);
  SGM_CHECK_LAUNCH();
}

}  // namespace sgm
