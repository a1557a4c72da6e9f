// Feeds arbitrary bytes to the PNG decoder. Bit 0 of the first byte picks the wanted
// channel count; with bit 1 set, every chunk CRC is recomputed first so that mutations
// reach the stream decoder instead of stopping at the CRC checks. A decoded image must
// have exactly the size the status promises.
#include "tiles/cpu_features.h"
#include "tiles/crc32.h"
#include "tiles/png_codec.h"

#include <cstdlib>

namespace {

uint32_t readBigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void fixCrcs(std::vector<uint8_t>& png) {
  for (size_t pos = 8; pos + 12 <= png.size();) {
    const size_t length = readBigEndian(&png[pos]);
    if (length > png.size() - pos - 12) return;
    const uint32_t crc = crc32Png(&png[pos + 4], 4 + length, 0);
    for (int i = 0; i < 4; ++i)
      png[pos + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    pos += 12 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  detectCpuFeatures();
  const int wanted = 3 + (data[0] & 1);
  std::vector<uint8_t> png(data + 1, data + size);
  if (data[0] & 2) fixCrcs(png);
  std::vector<uint8_t> out;
  uint32_t w = 0, h = 0;
  int c = 0;
  const PngStatus status = decodePng(png.data(), png.size(), out, w, h, c, wanted);
  if (status == kPngDecoded && out.size() != size_t{w} * h * wanted) std::abort();
  if (status != kPngDecoded && !out.empty()) std::abort();
  return 0;
}
