// Frames come from the user's files: any bytes that start like a PNG or a TIFF must decode
// reduced in bands or be declined, without a crash, a hang or a read outside them.
#include "framework/png_band_decoding.h"
#include "framework/tiff_band_decoding.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int factor = 2 << (data[0] % 3);
  const std::vector<unsigned char> bytes(data + 1, data + size);
  for (const cv::Mat& out :
       {fw::decodePngReducedInBands(bytes, factor), fw::decodeTiffReducedInBands(bytes, factor)}) {
    if (!out.empty() && out.type() != CV_8UC3) __builtin_trap();
  }
  return 0;
}
