#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads deflate bit fields least significant bit first from [begin, end). Never reads
// outside that range; asking for more bits than remain makes take/consume report false.
class BitReader {
 public:
  BitReader(const uint8_t* begin, const uint8_t* end) : begin_(begin), p_(begin), end_(end) {}

  // Tops the buffer up to at least 56 bits while input remains.
  void refill() {
    if (end_ - p_ >= 8) {
      uint64_t v;
      std::memcpy(&v, p_, 8);
      acc_ |= v << count_;
      p_ += (63 - count_) >> 3;
      count_ |= 56;
    } else {
      while (count_ <= 56 && p_ < end_) {
        acc_ |= uint64_t{*p_++} << count_;
        count_ += 8;
      }
    }
  }

  unsigned available() const { return count_; }
  // The next n buffered bits (zeros past the end of the input).
  uint32_t peek(unsigned n) const { return static_cast<uint32_t>(acc_ & ((uint64_t{1} << n) - 1)); }

  bool consume(unsigned n) {
    if (n > count_) return false;
    acc_ >>= n;
    count_ -= n;
    return true;
  }

  // Reads n bits (n <= 32) into value.
  bool take(unsigned n, uint32_t& value) {
    if (count_ < n) refill();
    value = peek(n);
    return consume(n);
  }

  // Bytes of input used so far, counting a partly used last byte.
  size_t bytesUsed() const { return (8 * static_cast<size_t>(p_ - begin_) - count_ + 7) / 8; }

 private:
  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};
