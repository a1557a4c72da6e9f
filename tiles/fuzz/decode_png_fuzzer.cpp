// Feeds arbitrary bytes to the PNG decoder. The first byte picks the wanted channel count;
// a decoded image must have exactly the size the status promises.
#include "tiles/cpu_features.h"
#include "tiles/png_codec.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  detectCpuFeatures();
  const int wanted = 3 + (data[0] & 1);
  std::vector<uint8_t> out;
  uint32_t w = 0, h = 0;
  int c = 0;
  const PngStatus status = decodePng(data + 1, size - 1, out, w, h, c, wanted);
  if (status == kPngDecoded && out.size() != size_t{w} * h * wanted) std::abort();
  if (status != kPngDecoded && !out.empty()) std::abort();
  return 0;
}
