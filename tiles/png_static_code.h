#pragma once

#include "tiles/deflate_format.h"

#include <cstdint>
#include <vector>

// The fixed code of the one-pass encoder: a dynamic-Huffman block header and the code it
// declares, shaped for Up-filtered aerial imagery (small differences get short codes),
// made once per channel count.
struct StaticDeflateCode {
  uint16_t codes[deflate::kLiteralLengthSymbols];
  uint8_t lengths[deflate::kLiteralLengthSymbols];
  // The zlib header and the block header: whole bytes, then the bits of the last partial byte.
  std::vector<uint8_t> prefix;
  uint32_t tailBits = 0;
  unsigned tailCount = 0;
};

// channels is 3 or 4.
const StaticDeflateCode& staticDeflateCode(int channels);

// The distance code every block of the codec declares: symbols 2 and 3 (distances 3 and 4)
// with one bit each, so the code is complete whichever of them a block uses.
void matchDistanceLengths(uint8_t* lengths);
