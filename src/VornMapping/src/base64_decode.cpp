#include "base64_decode.h"

namespace {

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64Decode(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 3 / 4);
  unsigned int accumulator = 0;
  int bits = 0;
  for (unsigned char c : text) {
    const int value = base64Value(c);
    if (value < 0) break;
    accumulator = ((accumulator << 6) | static_cast<unsigned int>(value)) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((accumulator >> bits) & 0xff));
    }
  }
  return bytes;
}
