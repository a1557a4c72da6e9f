#include "cuda_utils.h"
#include "device_image.h"
#include "winner_takes_all.h"

#include <cuda_runtime.h>

#include "winner_takes_all_kernel.cuh"

#include <stdexcept>

namespace sgm {
namespace {

using namespace device::wta;

template <int D>
void launchFor(const DeviceImage& costs, DeviceImage& left, DeviceImage& right, WtaArgs a,
               int paths) {
  if (paths == 4) {
    winnerKernel<D, 4><<<blocks(a.height), kThreads>>>(
        costs.ptr<const std::uint8_t>(), left.ptr<std::uint16_t>(), right.ptr<std::uint16_t>(), a);
  } else {
    winnerKernel<D, 8><<<blocks(a.height), kThreads>>>(
        costs.ptr<const std::uint8_t>(), left.ptr<std::uint16_t>(), right.ptr<std::uint16_t>(), a);
  }
  SGM_CHECK_LAUNCH();
}

}  // namespace

void winner_takes_all(const DeviceImage& costs, DeviceImage& left, DeviceImage& right,
                      int disparity_size, float uniqueness, bool subpixel, int path_mode) {
  if (path_mode != kPathMode4 && path_mode != kPathMode8)
    throw std::logic_error("path mode must be 0 or 1");
  if (left.type != ImageType::k16Bit || right.type != ImageType::k16Bit)
    throw std::logic_error("disparity images must be 16-bit");
  const WtaArgs a{static_cast<int>(left.cols),
                  static_cast<int>(left.rows),
                  left.step,
                  right.step,
                  uniqueness,
                  subpixel};
  if (a.width == 0 || a.height == 0) return;
  const int paths = pathCount(path_mode);
  switch (disparity_size) {
    case 64:
      return launchFor<64>(costs, left, right, a, paths);
    case 128:
      return launchFor<128>(costs, left, right, a, paths);
    case 256:
      return launchFor<256>(costs, left, right, a, paths);
    default:
      throw std::logic_error("disparity size must be 64 or 128 or 256");
  }
}

}  // namespace sgm
