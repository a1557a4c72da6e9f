#include "device_allocator.h"

#include "cuda_utils.h"

#include <cuda_runtime_api.h>

namespace sgm {

DeviceAllocator::DeviceAllocator(const DeviceAllocator& other)
    : data_(other.data_), ref_count_(other.ref_count_), size_(other.size_) {
  if (ref_count_) ++*ref_count_;
}

DeviceAllocator& DeviceAllocator::operator=(const DeviceAllocator& other) {
  if (this == &other) return *this;
  if (other.ref_count_) ++*other.ref_count_;
  release();
  data_ = other.data_;
  ref_count_ = other.ref_count_;
  size_ = other.size_;
  return *this;
}

DeviceAllocator::~DeviceAllocator() {
  // A failed free cannot be reported from a destructor; the block is forgotten either way.
  if (ref_count_ && --*ref_count_ == 0) {
    cudaFree(data_);
    delete ref_count_;
  }
}

void* DeviceAllocator::allocate(std::size_t size) {
  if (size <= size_) return data_;
  release();
  void* data = nullptr;
  SGM_CHECK_CUDA(cudaMalloc(&data, size));
  ref_count_ = new int(1);
  data_ = data;
  size_ = size;
  return data_;
}

void DeviceAllocator::assign(void* data, std::size_t size) {
  release();
  data_ = data;
  size_ = size;
}

void DeviceAllocator::release() {
  int* count = ref_count_;
  void* data = data_;
  data_ = nullptr;
  ref_count_ = nullptr;
  size_ = 0;
  if (count && --*count == 0) {
    delete count;
    SGM_CHECK_CUDA(cudaFree(data));
  }
}

}  // namespace sgm
