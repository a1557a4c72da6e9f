#include "tiles/png_static_code.h"

#include "tiles/bit_writer.h"
#include "tiles/deflate_header.h"
#include "tiles/huffman_code.h"
#include "tiles/png_layout.h"

namespace {

// Symbol frequencies of a model tile: Up differences fall off geometrically with their
// size (by 0.846 per step, about e^(-1/6)), every symbol stays codable, and runs of whole
// pixels are common enough to keep their length codes short. Integer arithmetic only, so
// the code, and with it every file the encoder writes, is the same on every platform.
void modelCounts(int channels, uint32_t* counts) {
  uint32_t bySize[129];
  bySize[0] = 1000000;
  for (int d = 1; d <= 128; ++d) bySize[d] = bySize[d - 1] * 846 / 1000;
  for (int v = 0; v < 256; ++v) counts[v] = bySize[v < 128 ? v : 256 - v] + 8;
  // Opaque alpha is 0 after the Up filter.
  if (channels == 4) counts[0] += 4000000;
  for (int s = deflate::kEndOfBlock; s < deflate::kLiteralLengthSymbols; ++s) counts[s] = 8;
  for (int i = 0; i < 29; ++i) {
    const int len = deflate::kLengthBase[i];
    if (len % channels == 0) counts[257 + i] += static_cast<uint32_t>(400000.0 / (len / channels));
  }
}

StaticDeflateCode makeCode(int channels) {
  StaticDeflateCode code;
  uint32_t counts[deflate::kLiteralLengthSymbols];
  modelCounts(channels, counts);
  buildCodeLengths(counts, deflate::kLiteralLengthSymbols, deflate::kMaxCodeBits, code.lengths);
  canonicalCodes(code.lengths, deflate::kLiteralLengthSymbols, code.codes);

  uint8_t distance[deflate::kDistanceSymbols];
  matchDistanceLengths(distance);
  std::vector<uint8_t> buffer(1024);
  buffer[0] = png_layout::kZlibHeader[0];
  buffer[1] = png_layout::kZlibHeader[1];
  BitWriter bits(buffer.data() + 2);
  writeDynamicBlockHeader(bits, code.lengths, distance);
  // Split off the last partial byte so the encoder can go on writing from its bits.
  const size_t headerBits = bits.bitCount();
  bits.flush();
  const size_t wholeBytes = 2 + headerBits / 8;
  code.prefix.assign(buffer.begin(), buffer.begin() + wholeBytes);
  code.tailCount = headerBits % 8;
  code.tailBits = buffer[wholeBytes] & ((1u << code.tailCount) - 1);
  return code;
}

}  // namespace

void matchDistanceLengths(uint8_t* lengths) {
  for (int i = 0; i < deflate::kDistanceSymbols; ++i) lengths[i] = 0;
  lengths[deflate::distanceSymbolFor(3)] = 1;
  lengths[deflate::distanceSymbolFor(4)] = 1;
}

const StaticDeflateCode& staticDeflateCode(int channels) {
  static const StaticDeflateCode rgb = makeCode(3);
  static const StaticDeflateCode rgba = makeCode(4);
  return channels == 3 ? rgb : rgba;
}
