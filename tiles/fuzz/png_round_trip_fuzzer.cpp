// Encodes arbitrary pixels and checks that both our decoder and zlib read back exactly what
// went in. Byte 0 picks channels (3 or 4) and flags, byte 1 the width; the rest are pixels,
// cycled to fill the image.
#include "tiles/cpu_features.h"
#include "tiles/png_codec.h"

#include <zlib.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  detectCpuFeatures();
  const int channels = 3 + (data[0] & 1);
  const unsigned flags = (data[0] >> 1) % 3;
  const uint32_t width = 1 + data[1] % 64;
  const uint8_t* source = data + 2;
  const size_t sourceSize = size - 2;
  const uint32_t height = static_cast<uint32_t>(1 + sourceSize / (width * channels));
  std::vector<uint8_t> px(size_t{width} * height * channels);
  for (size_t i = 0; i < px.size(); ++i) px[i] = source[i % sourceSize];

  std::vector<uint8_t> png;
  if (!encodePng(px.data(), width, height, channels, png, flags)) std::abort();
  std::vector<uint8_t> back;
  uint32_t w, h;
  int c;
  if (decodePng(png.data(), png.size(), back, w, h, c, channels) != kPngDecoded || back != px)
    std::abort();

  // The IDAT data is a zlib stream of the filtered rows: zlib must accept it in full.
  const size_t rowBytes = size_t{width} * channels;
  std::vector<uint8_t> inflated((rowBytes + 1) * height);
  uLongf inflatedSize = inflated.size();
  const int status =
      uncompress(inflated.data(), &inflatedSize, png.data() + 58, png.size() - 58 - 16);
  if (status != Z_OK || inflatedSize != inflated.size()) std::abort();
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = &inflated[y * (rowBytes + 1)];
    for (size_t i = 0; i < rowBytes; ++i) {
      const uint8_t above = (row[0] == 2 && y > 0) ? px[(y - 1) * rowBytes + i] : 0;
      if (static_cast<uint8_t>(row[1 + i] + above) != px[y * rowBytes + i]) std::abort();
    }
  }
  return 0;
}
