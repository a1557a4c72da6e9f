#pragma once

#include <cstdint>
#include <cstring>

// Writes deflate bit fields least significant bit first into a caller's buffer. Pending
// bits are stored with 8-byte writes, so the buffer needs 8 bytes beyond the last byte
// that may be written.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  // Starts with count pending bits, e.g. the tail of a precomputed header.
  BitWriter(uint8_t* out, uint64_t pending, unsigned count)
      : out_(out), acc_(pending), count_(count) {}

  // Appends the low n bits of value (n <= 32), whatever is pending.
  void put(uint64_t value, unsigned n) {
    flushBytes();
    add(value, n);
  }

  // The fast pair for hot loops: flushBytes writes out every whole pending byte (leaving at
  // most 7 bits), after which up to 56 bits may be appended with add before the next flush.
  void flushBytes() {
    std::memcpy(out_ + pos_, &acc_, 8);
    const unsigned bytes = count_ >> 3;
    pos_ += bytes;
    acc_ = bytes == 8 ? 0 : acc_ >> (8 * bytes);
    count_ &= 7;
  }
  void add(uint64_t value, unsigned n) {
    acc_ |= value << count_;
    count_ += n;
  }

  // Pads with zero bits to the next byte boundary and writes out every pending bit.
  void flush() {
    std::memcpy(out_ + pos_, &acc_, 8);
    pos_ += (count_ + 7) / 8;
    acc_ = 0;
    count_ = 0;
  }

  size_t bitCount() const { return 8 * pos_ + count_; }

  // Bytes written so far, counting a partly filled last byte.
  size_t size() const { return pos_ + (count_ + 7) / 8; }

 private:
  uint8_t* out_;
  size_t pos_ = 0;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};
