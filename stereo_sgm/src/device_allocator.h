#pragma once

#include <cstddef>

namespace sgm {

// Device memory block with a shared reference count; a block assigned from outside is
// never freed here. Failed CUDA calls throw (see checkCuda).
class DeviceAllocator {
 public:
  DeviceAllocator() = default;
  DeviceAllocator(const DeviceAllocator& other);
  DeviceAllocator& operator=(const DeviceAllocator& other);
  ~DeviceAllocator();

  // Reuses the held block when it is large enough, else frees it and allocates anew.
  void* allocate(std::size_t size);
  // Holds outside device memory without ownership.
  void assign(void* data, std::size_t size);
  void release();

  void* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void* data_ = nullptr;
  int* ref_count_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace sgm
