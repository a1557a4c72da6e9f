#pragma once

#include "device_allocator.h"
#include "matcher_config.h"

#include <cstdint>

namespace sgm {

// A 2-D device buffer: element (r, c) is data[r * step + c]. Sizes are 64-bit: a cost
// volume row holds width x height x D elements.
class DeviceImage {
 public:
  DeviceImage() = default;
  // Header over outside device memory (not owned).
  DeviceImage(void* data, std::int64_t rows, std::int64_t cols, ImageType type,
              std::int64_t step = -1);

  // step < 0 means cols; reuses the held block when it is large enough.
  void create(std::int64_t rows, std::int64_t cols, ImageType type, std::int64_t step = -1);
  void attach(void* data, std::int64_t rows, std::int64_t cols, ImageType type,
              std::int64_t step = -1);
  void release();

  void upload(const void* host);
  void download(void* host) const;
  void fill_zero();

  std::size_t byteSize() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(step) * elementSize(type);
  }
  template <typename T>
  T* ptr() const {
    return static_cast<T*>(data);
  }

  void* data = nullptr;
  std::int64_t rows = 0, cols = 0, step = 0;
  ImageType type = ImageType::k8Bit;

 private:
  DeviceAllocator allocator_;
};

}  // namespace sgm
