#include "image_header.h"

#include <cstdlib>
#include <cstring>

namespace {

using Bytes = std::vector<unsigned char>;

uint32_t bigEndian(const Bytes& b, size_t at, int size) {
  uint32_t value = 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | b[at + i];
  return value;
}

uint32_t littleEndian(const Bytes& b, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | b[at + i];
  return value;
}

bool readPng(const Bytes& b, ImageHeader& h) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (b.size() < 26 || std::memcmp(b.data(), kSignature, 8) != 0) return false;
  if (std::memcmp(b.data() + 12, "IHDR", 4) != 0) return false;
  h.width = bigEndian(b, 16, 4);
  h.height = bigEndian(b, 20, 4);
  h.bytesPerSample = b[24] == 16 ? 2 : 1;
  const unsigned colourType = b[25];
  h.channels = colourType == 0 ? 1 : colourType == 2 || colourType == 3 ? 3 : 4;
  return true;
}

bool readJpeg(const Bytes& b, ImageHeader& h) {
  if (b.size() < 4 || b[0] != 0xff || b[1] != 0xd8) return false;
  size_t at = 2;
  while (at + 4 <= b.size()) {
    if (b[at] != 0xff) return false;
    const unsigned marker = b[at + 1];
    if (marker == 0xff) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd9)) {  // no length field
      at += 2;
      continue;
    }
    const size_t length = bigEndian(b, at + 2, 2);
    const bool frameHeader =
        marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (frameHeader) {
      if (at + 10 > b.size()) return false;
      h.bytesPerSample = b[at + 4] > 8 ? 2 : 1;
      h.height = bigEndian(b, at + 5, 2);
      h.width = bigEndian(b, at + 7, 2);
      h.channels = b[at + 9] == 1 ? 1 : 3;
      return true;
    }
    if (length < 2) return false;
    at += 2 + length;
  }
  return false;
}

bool readTiff(const Bytes& b, ImageHeader& h) {
  if (b.size() < 8) return false;
  const bool little = b[0] == 'I' && b[1] == 'I' && b[2] == 42 && b[3] == 0;
  const bool big = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42;
  if (!little && !big) return false;
  auto read = [&](size_t at, int size) {
    return little ? littleEndian(b, at, size) : bigEndian(b, at, size);
  };
  const size_t ifd = read(4, 4);
  if (ifd + 2 > b.size()) return false;
  const size_t entries = read(ifd, 2);
  h.channels = 1;
  for (size_t i = 0; i < entries && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
    const size_t entry = ifd + 2 + 12 * i;
    const uint32_t tag = read(entry, 2);
    const uint32_t type = read(entry + 2, 2);
    const uint32_t value = type == 3 ? read(entry + 8, 2) : read(entry + 8, 4);
    if (tag == 256) h.width = value;
    if (tag == 257) h.height = value;
    if (tag == 258 && read(entry + 4, 4) == 1) h.bytesPerSample = value > 8 ? (value + 7) / 8 : 1;
    if (tag == 277) h.channels = static_cast<int>(value);
  }
  return h.width > 0 && h.height > 0;
}

bool readBmp(const Bytes& b, ImageHeader& h) {
  if (b.size() < 30 || b[0] != 'B' || b[1] != 'M') return false;
  h.width = std::llabs(static_cast<int32_t>(littleEndian(b, 18, 4)));
  h.height = std::llabs(static_cast<int32_t>(littleEndian(b, 22, 4)));
  h.channels = littleEndian(b, 28, 2) == 32 ? 4 : 3;
  return true;
}

}  // namespace

bool readImageHeader(const std::vector<unsigned char>& bytes, ImageHeader& header) {
  header = ImageHeader();
  return readPng(bytes, header) || readJpeg(bytes, header) || readTiff(bytes, header) ||
         readBmp(bytes, header);
}
