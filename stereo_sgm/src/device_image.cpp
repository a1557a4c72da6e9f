#include "device_image.h"

#include "cuda_utils.h"

#include <cuda_runtime_api.h>

namespace sgm {

DeviceImage::DeviceImage(void* data, std::int64_t rows, std::int64_t cols, ImageType type,
                         std::int64_t step) {
  attach(data, rows, cols, type, step);
}

void DeviceImage::create(std::int64_t rows_, std::int64_t cols_, ImageType type_,
                         std::int64_t step_) {
  if (step_ < 0) step_ = cols_;
  const std::size_t size =
      static_cast<std::size_t>(rows_) * static_cast<std::size_t>(step_) * elementSize(type_);
  // A failed allocation leaves an empty header behind.
  data = nullptr;
  rows = cols = step = 0;
  data = allocator_.allocate(size);
  rows = rows_;
  cols = cols_;
  step = step_;
  type = type_;
}

void DeviceImage::attach(void* data_, std::int64_t rows_, std::int64_t cols_, ImageType type_,
                         std::int64_t step_) {
  if (step_ < 0) step_ = cols_;
  rows = rows_;
  cols = cols_;
  step = step_;
  type = type_;
  allocator_.assign(data_, byteSize());
  data = data_;
}

void DeviceImage::release() {
  allocator_.release();
  data = nullptr;
  rows = cols = step = 0;
}

void DeviceImage::upload(const void* host) {
  SGM_CHECK_CUDA(cudaMemcpy(data, host, byteSize(), cudaMemcpyHostToDevice));
}

void DeviceImage::download(void* host) const {
  SGM_CHECK_CUDA(cudaMemcpy(host, data, byteSize(), cudaMemcpyDeviceToHost));
}

void DeviceImage::fill_zero() { SGM_CHECK_CUDA(cudaMemset(data, 0, byteSize())); }

}  // namespace sgm
