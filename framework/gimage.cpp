#include "framework/gimage.h"

#include <opencv2/core.hpp>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace fw {

namespace {

constexpr int64_t kSpareBytes = 24;

// The byte size of rows x cols pixels of `type` (0 for a negative dimension), or -1 when it
// overflows 64 bits (or leaves no room for the allocation's spare bytes).
int64_t checkedByteSize(int rows, int cols, int type) {
  if (rows < 0 || cols < 0) return 0;
  int64_t size = 0;
  if (__builtin_mul_overflow(int64_t(rows), int64_t(cols), &size) ||
      __builtin_mul_overflow(size, int64_t(GImage::elemSize(type)), &size) ||
      size > std::numeric_limits<int64_t>::max() - kSpareBytes)
    return -1;
  return size;
}

// Lets a cv::Mat share an image's own block: the matrix's reference count holds one share
// of the block's holder, released when the last matrix header goes.
class SharedBlockAllocator : public cv::MatAllocator {
 public:
  using Share = std::shared_ptr<GImage::DefaultHolder>;

  cv::UMatData* allocate(int, const int*, int, void*, size_t*, cv::AccessFlag,
                         cv::UMatUsageFlags) const override {
    return nullptr;
  }
  bool allocate(cv::UMatData*, cv::AccessFlag, cv::UMatUsageFlags) const override { return false; }
  void deallocate(cv::UMatData* u) const override {
    if (!u) return;
    delete static_cast<Share*>(u->userdata);
    delete u;
  }

  cv::Mat wrap(int rows, int cols, int type, const Share& share, int64_t bytes) const {
    cv::Mat mat(rows, cols, type, share->data());
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = share->data();
    u->size = size_t(bytes);
    u->refcount = 1;
    u->userdata = new Share(share);
    mat.u = u;
    mat.allocator = const_cast<SharedBlockAllocator*>(this);
    return mat;
  }
};

const SharedBlockAllocator& sharedBlockAllocator() {
  static const SharedBlockAllocator* allocator = new SharedBlockAllocator();  // never freed:
  return *allocator;  // matrices may outlive static destruction
}

}  // namespace

GImage::DefaultHolder::DefaultHolder(int64_t byteSize) {
  if (byteSize < 1 || uint64_t(byteSize) > std::numeric_limits<size_t>::max() - kSpareBytes) return;
  void* raw = std::malloc(size_t(byteSize + kSpareBytes));
  if (!raw) return;
  const uintptr_t aligned =
      (reinterpret_cast<uintptr_t>(raw) + sizeof(void*) + 15) & ~uintptr_t(15);
  data_ = reinterpret_cast<unsigned char*>(aligned);
  std::memcpy(data_ - sizeof(void*), &raw, sizeof(void*));
}

GImage::DefaultHolder::~DefaultHolder() {
  if (!data_) return;
  void* raw = nullptr;
  std::memcpy(&raw, data_ - sizeof(void*), sizeof(void*));
  std::free(raw);
}

GImage::GImage(int rows_, int cols_, int type_, unsigned char* source, bool copy)
    : cols(cols_), rows(rows_), type(type_) {
  if (source && !copy) {
    data = source;
    return;
  }
  const int64_t size = checkedByteSize(rows, cols, type);
  if (size < 0)
    throw std::length_error("GImage: the byte size of " + std::to_string(rows) + " x " +
                            std::to_string(cols) + " pixels of type " + std::to_string(type) +
                            " does not fit in 64 bits");
  if (size < 1) return;
  auto block = std::make_shared<DefaultHolder>(size);
  if (!block->data()) {
    cols = 0;
    rows = 0;
    return;
  }
  data = block->data();
  holder = sv::Var(block);
  if (source) std::memcpy(data, source, size_t(size));
}

GImage::GImage(const cv::Mat& mat) {
  const cv::Mat shared = mat.isContinuous() ? mat : mat.clone();
  cols = shared.cols;
  rows = shared.rows;
  type = shared.flags & 0xFFF;
  data = shared.data;
  holder = sv::Var(shared);
}

GImage::operator cv::Mat() const {
  if (holder.is<cv::Mat>()) return holder.as<cv::Mat>();
  if (!data) return cv::Mat();
  if (holder.is<std::shared_ptr<DefaultHolder>>()) {
    const auto& share = holder.as<std::shared_ptr<DefaultHolder>>();
    if (share && share->data() == data)
      return sharedBlockAllocator().wrap(rows, cols, type, share, byteSize());
  } else if (!holder.isUndefined()) {
    throw sv::VarException(
        sv::Var(std::string("GImage: the pixel holder keeps neither a matrix nor an image block")));
  }
  return cv::Mat(rows, cols, type, data);
}

int64_t GImage::byteSize() const { return checkedByteSize(rows, cols, type); }

GImage GImage::row(int r) const {
  return GImage(1, cols, type, data + int64_t(elemSize()) * cols * r, false);
}

}  // namespace fw
