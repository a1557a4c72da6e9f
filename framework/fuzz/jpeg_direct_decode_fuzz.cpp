// Frames come from the user's files: any bytes that start like a JPEG must decode or be
// declined, without a crash, a hang or a read outside them.
#include "framework/jpeg_direct_decoding.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Headers claiming more than this are declined as the program's image budget declines them:
// a gigapixel a few bytes claim would take gigabytes to decode, beyond the fuzzer's memory.
constexpr unsigned long long kFuzzedPixels = 64ull << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int factor = 1 << (data[0] % 4);
  const std::vector<unsigned char> bytes(data + 1, data + size);
  cv::Mat out;
  if (fw::decodeColourJpegDirectly(bytes, factor, out, kFuzzedPixels) &&
      (out.empty() || out.type() != CV_8UC3))
    __builtin_trap();
  return 0;
}
