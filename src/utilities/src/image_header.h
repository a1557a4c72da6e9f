#pragma once

#include <cstdint>
#include <vector>

// The size an encoded image claims in its header, read without decoding it.
struct ImageHeader {
  int64_t width = 0;
  int64_t height = 0;
  int channels = 0;        // as the decoder will deliver them
  int bytesPerSample = 1;  // 2 for 16-bit images

  int64_t pixels() const { return width * height; }
  // What a frame holds of it once loaded: every frame is kept as 8-bit, three-channel BGR.
  int64_t frameBytes() const { return pixels() * 3; }
};

// Reads the header of a PNG, JPEG, TIFF or BMP file; false for other formats and for a
// header too short or malformed to give a size.
bool readImageHeader(const std::vector<unsigned char>& bytes, ImageHeader& header);
