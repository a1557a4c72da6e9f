#pragma once

// The framework's image value: cols x rows pixels of an OpenCV element type, stored row after
// row without padding. Copies share the pixels; a holder keeps them alive.

#include "values/var.h"

#include <opencv2/core/mat.hpp>

#include <cstdint>

namespace fw {

class GImage {
 public:
  // One pixel block owned by images built without borrowed data: 16-byte aligned, with the
  // raw allocation's address stored in the 8 bytes just before the aligned start.
  class DefaultHolder {
   public:
    explicit DefaultHolder(int64_t byteSize);
    ~DefaultHolder();
    DefaultHolder(const DefaultHolder&) = delete;
    DefaultHolder& operator=(const DefaultHolder&) = delete;

    // The aligned block, null when it could not be allocated.
    unsigned char* data() const { return data_; }

   private:
    unsigned char* data_ = nullptr;
  };

  // The empty image.
  GImage() = default;
  // With data and copy false: a view of the caller's pixels (nothing owned). Otherwise a new
  // block of rows x cols pixels, filled from data when given, else uninitialised; a byte size
  // below 1 allocates nothing. Throws std::length_error when the byte size has no 64-bit
  // reading.
  GImage(int rows, int cols, int type = 0, unsigned char* data = nullptr, bool copy = false);
  // Shares the matrix's pixels and keeps them alive. A matrix whose rows are not stored
  // back to back is copied first, since an image's rows never have padding.
  GImage(const cv::Mat& mat);

  // A matrix over the same pixels (never a copy) that keeps them alive when this image owns
  // them; over borrowed pixels the image's owner must outlive the matrix. Empty without data.
  operator cv::Mat() const;

  // Bytes per pixel: channel count times depth size.
  int elemSize() const { return elemSize(type); }
  static int elemSize(int type) { return ((type >> 3) + 1) << ((type >> 1) & 3); }
  // elemSize x cols x rows, in 64 bits.
  int64_t byteSize() const;
  bool empty() const { return data == nullptr; }

  // A one-row view of row r: owns nothing, valid while this image's pixels live.
  GImage row(int r) const;

  int cols = 0;
  int rows = 0;
  int type = 0;
  unsigned char* data = nullptr;
  sv::Var holder;
};

}  // namespace fw
