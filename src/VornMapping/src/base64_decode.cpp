#include "base64_decode.h"

#include <cstdio>

namespace {

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Why the byte at `at` has no place in standard Base64.
std::string foreignByte(unsigned char c, size_t at) {
  const std::string where = " at byte " + std::to_string(at);
  if (c == '\n' || c == '\r') return "a line break" + where + ": Base64 must be one line";
  if (c == ' ' || c == '\t') return "white space" + where + ": Base64 must be one line";
  if (c == '-' || c == '_')
    return std::string("'") + char(c) + "'" + where +
           " belongs to the URL-safe alphabet: use standard Base64 ('+' and '/')";
  char code[8];
  std::snprintf(code, sizeof code, "0x%02x", c);
  return std::string("byte ") + code + where + " is outside the Base64 alphabet";
}

bool refuse(std::string& bytes, std::string& problem, const std::string& why) {
  bytes.clear();
  problem = why;
  return false;
}

}  // namespace

bool decodeBase64(const std::string& text, std::string& bytes, std::string& problem) {
  bytes.clear();
  problem.clear();
  // The padding: at most two "=" that end the text.
  size_t data = text.size();
  while (data > 0 && text.size() - data < 2 && text[data - 1] == '=') --data;
  for (size_t i = 0; i < data; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      return refuse(bytes, problem,
                    "the padding '=' at byte " + std::to_string(i) + " is followed by more text");
    }
    if (base64Value(c) < 0) return refuse(bytes, problem, foreignByte(c, i));
  }
  if (text.size() % 4 != 0) {
    return refuse(bytes, problem,
                  "its length " + std::to_string(text.size()) +
                      " is not a multiple of 4: the text is cut short or lacks its '=' padding");
  }
  bytes.reserve(data * 3 / 4);
  unsigned int accumulator = 0;
  int bits = 0;
  for (size_t i = 0; i < data; ++i) {
    accumulator = ((accumulator << 6) | static_cast<unsigned int>(base64Value(text[i]))) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((accumulator >> bits) & 0xff));
    }
  }
  // Bits past the last byte are zero in every encoder's output; others mean a damaged text.
  if ((accumulator & ((1u << bits) - 1)) != 0) {
    return refuse(bytes, problem, "its last group has bits set past the data");
  }
  return true;
}
