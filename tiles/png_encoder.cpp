#include "tiles/adler32.h"
#include "tiles/bit_writer.h"
#include "tiles/crc32.h"
#include "tiles/deflate_format.h"
#include "tiles/deflate_header.h"
#include "tiles/huffman_code.h"
#include "tiles/png_codec.h"
#include "tiles/png_layout.h"
#include "tiles/png_static_code.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using png_layout::kHeaderSize;

// Room the compressors may overshoot their limit by before they next check it, plus the
// bit writer's 8-byte stores, plus a whole block header (at most about 600 bytes) for
// images so small that the header alone exceeds the limit.
constexpr size_t kSlack = 64 + 1024;
constexpr size_t kStoredBlockMax = 65535;

template <int C>
inline bool samePixel(const uint8_t* a, const uint8_t* b) {
  if constexpr (C == 4) {
    uint32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x == y;
  } else {
    uint16_t x, y;
    std::memcpy(&x, a, 2);
    std::memcpy(&y, b, 2);
    return x == y && a[2] == b[2];
  }
}

// The codec's parse of the filtered scanlines: the filter byte and the first pixel as
// literals, then each pixel as literals, or a run of copies of the pixel before as matches
// of whole pixels that stay within the row. Stops early when the coder runs out of room.
// The output state is copied into a local for the loop: byte stores could otherwise alias
// it and force it through memory on every symbol.
template <int C, class Coder, class Output>
bool parseScanlines(const uint8_t* filtered, size_t rowBytes, uint32_t height, Coder& coder,
                    Output& output) {
  constexpr size_t kMaxMatch = deflate::maxMatchBytes(C);
  Output out = output;
  bool fits = true;
  for (uint32_t y = 0; y < height && fits; ++y) {
    const uint8_t* row = filtered + y * (rowBytes + 1);
    coder.literal(out, row[0]);
    const uint8_t* px = row + 1;
    coder.pixel(out, px);
    size_t i = C;
    while (i < rowBytes && (fits = coder.roomLeft(out))) {
      const uint8_t* prev = px + i - C;
      if (samePixel<C>(px + i, prev)) {
        size_t end = i + C;
        while (end < rowBytes && samePixel<C>(px + end, prev)) end += C;
        while (i < end && (fits = coder.roomLeft(out))) {
          const size_t m = std::min(end - i, kMaxMatch);
          coder.match(out, m, px + i);
          i += m;
        }
      } else {
        coder.pixel(out, px + i);
        i += C;
      }
    }
  }
  output = out;
  return fits && coder.roomLeft(output);
}

int lengthSymbolIndex(size_t length) {
  int i = 0;
  while (i < 28 && deflate::kLengthBase[i + 1] <= length) ++i;
  return i;
}

// First pass of the two-pass mode: counts literal/length symbols.
template <int C>
struct SymbolCounter {
  struct Counts {
    uint32_t* counts;
  };
  void literal(Counts& out, uint8_t b) const { ++out.counts[b]; }
  void pixel(Counts& out, const uint8_t* p) const {
    for (int c = 0; c < C; ++c) ++out.counts[p[c]];
  }
  void match(Counts& out, size_t length, const uint8_t*) const {
    ++out.counts[257 + lengthSymbolIndex(length)];
  }
  bool roomLeft(const Counts&) const { return true; }
};

// Writes the parsed symbols with a given code; fails once the output passes limit bytes.
template <int C>
class CodeWriter {
 public:
  // With preferLiterals, a one-pixel match that would take more bits than its literals is
  // written as literals instead.
  CodeWriter(const uint16_t* codes, const uint8_t* lengths, size_t limit, bool preferLiterals)
      : codes_(codes), lengths_(lengths), limit_(limit), preferLiterals_(preferLiterals) {
    uint8_t distanceLengths[deflate::kDistanceSymbols];
    uint16_t distanceCodes[deflate::kDistanceSymbols];
    matchDistanceLengths(distanceLengths);
    canonicalCodes(distanceLengths, deflate::kDistanceSymbols, distanceCodes);
    const uint32_t distanceBit = distanceCodes[deflate::distanceSymbolFor(C)];
    // Length code, extra bits and distance bit of every match length, as one field.
    for (size_t m = C; m <= deflate::maxMatchBytes(C); m += C) {
      const int i = lengthSymbolIndex(m);
      const int symbol = 257 + i;
      const unsigned extraBits = deflate::kLengthExtra[i];
      const uint32_t extra = static_cast<uint32_t>(m - deflate::kLengthBase[i]);
      matchBits_[m] = codes_[symbol] | (extra << lengths_[symbol]) |
                      (distanceBit << (lengths_[symbol] + extraBits));
      matchCount_[m] = static_cast<uint8_t>(lengths_[symbol] + extraBits + 1);
    }
  }

  // Each call flushes first, then adds at most 4 x 12 bits.
  void literal(BitWriter& out, uint8_t b) const {
    out.flushBytes();
    out.add(codes_[b], lengths_[b]);
  }
  void pixel(BitWriter& out, const uint8_t* p) const {
    out.flushBytes();
    for (int c = 0; c < C; ++c) out.add(codes_[p[c]], lengths_[p[c]]);
  }
  void match(BitWriter& out, size_t length, const uint8_t* p) const {
    if (C == 4 && length == 4 && preferLiterals_ &&
        matchCount_[4] >
            unsigned{lengths_[p[0]]} + lengths_[p[1]] + lengths_[p[2]] + lengths_[p[3]]) {
      pixel(out, p);
      return;
    }
    out.flushBytes();
    out.add(matchBits_[length], matchCount_[length]);
  }
  bool roomLeft(const BitWriter& out) const { return out.size() <= limit_; }

 private:
  const uint16_t* codes_;
  const uint8_t* lengths_;
  size_t limit_;
  bool preferLiterals_;
  uint32_t matchBits_[256] = {};
  uint8_t matchCount_[256] = {};
};

// Ends the stream: pads to a byte boundary and writes the Adler-32, most significant byte first.
void finishStream(BitWriter& bits, uint32_t adler) {
  bits.flush();
  for (int shift = 24; shift >= 0; shift -= 8) bits.put((adler >> shift) & 0xFF, 8);
  bits.flush();
}

// Writes the compressed zlib stream to out; returns its size, or 0 when it would exceed room.
template <int C>
size_t compressOnePass(const uint8_t* filtered, size_t rowBytes, uint32_t height, uint32_t adler,
                       uint8_t* out, size_t room) {
  const StaticDeflateCode& code = staticDeflateCode(C);
  if (code.prefix.size() >= room) return 0;
  std::memcpy(out, code.prefix.data(), code.prefix.size());
  BitWriter bits(out + code.prefix.size(), code.tailBits, code.tailCount);
  const size_t limit = room - code.prefix.size();
  const CodeWriter<C> writer(code.codes, code.lengths, limit, true);
  if (!parseScanlines<C>(filtered, rowBytes, height, writer, bits)) return 0;
  bits.put(code.codes[deflate::kEndOfBlock], code.lengths[deflate::kEndOfBlock]);
  finishStream(bits, adler);
  return bits.size() <= limit ? code.prefix.size() + bits.size() : 0;
}

template <int C>
size_t compressTwoPass(const uint8_t* filtered, size_t rowBytes, uint32_t height, uint32_t adler,
                       uint8_t* out, size_t room) {
  uint32_t counts[deflate::kLiteralLengthSymbols] = {};
  typename SymbolCounter<C>::Counts tally{counts};
  const SymbolCounter<C> counter;
  parseScanlines<C>(filtered, rowBytes, height, counter, tally);
  counts[deflate::kEndOfBlock] = 1;
  uint8_t lengths[deflate::kLiteralLengthSymbols];
  uint16_t codes[deflate::kLiteralLengthSymbols];
  buildCodeLengths(counts, deflate::kLiteralLengthSymbols, deflate::kMaxCodeBits, lengths);
  canonicalCodes(lengths, deflate::kLiteralLengthSymbols, codes);
  uint8_t distanceLengths[deflate::kDistanceSymbols];
  matchDistanceLengths(distanceLengths);

  out[0] = png_layout::kZlibHeader[0];
  out[1] = png_layout::kZlibHeader[1];
  BitWriter bits(out + 2);
  writeDynamicBlockHeader(bits, lengths, distanceLengths);
  const size_t limit = room - 2;
  const CodeWriter<C> writer(codes, lengths, limit, false);
  if (!parseScanlines<C>(filtered, rowBytes, height, writer, bits)) return 0;
  bits.put(codes[deflate::kEndOfBlock], lengths[deflate::kEndOfBlock]);
  finishStream(bits, adler);
  return bits.size() <= limit ? 2 + bits.size() : 0;
}

size_t storedStreamSize(size_t dataSize) {
  const size_t blocks = std::max<size_t>(1, (dataSize + kStoredBlockMax - 1) / kStoredBlockMax);
  return 2 + 5 * blocks + dataSize + 4;
}

void writeStored(const uint8_t* data, size_t size, uint32_t adler, uint8_t* out) {
  *out++ = png_layout::kZlibHeader[0];
  *out++ = png_layout::kZlibHeader[1];
  do {
    const size_t n = std::min(size, kStoredBlockMax);
    *out++ = n == size ? 1 : 0;  // final flag, block type 0
    out[0] = static_cast<uint8_t>(n);
    out[1] = static_cast<uint8_t>(n >> 8);
    out[2] = static_cast<uint8_t>(~n);
    out[3] = static_cast<uint8_t>(~n >> 8);
    std::memcpy(out + 4, data, n);
    out += 4 + n;
    data += n;
    size -= n;
  } while (size > 0);
  png_layout::writeBigEndian32(out, adler);
}

void writeHeader(uint8_t* out, uint32_t width, uint32_t height, int channels, size_t streamSize) {
  std::memcpy(out, png_layout::kSignature, 8);
  png_layout::writeBigEndian32(out + 8, 13);
  std::memcpy(out + 12, "IHDR", 4);
  png_layout::writeBigEndian32(out + 16, width);
  png_layout::writeBigEndian32(out + 20, height);
  out[24] = 8;
  out[25] = channels == 3 ? 2 : 6;
  out[26] = out[27] = out[28] = 0;
  png_layout::writeBigEndian32(out + 29, crc32Png(out + 12, 17, 0));
  png_layout::writeBigEndian32(out + 33, 5);
  std::memcpy(out + 37, "fdEC", 4);
  std::memcpy(out + 41, png_layout::kPrivateChunkData, 5);
  std::memcpy(out + 46, png_layout::kPrivateChunkCrc, 4);
  png_layout::writeBigEndian32(out + 50, static_cast<uint32_t>(streamSize));
  std::memcpy(out + 54, "IDAT", 4);
}

}  // namespace

void pngFilterRow(int filterType, const uint8_t* row, const uint8_t* above, size_t rowBytes,
                  uint8_t* out) {
  out[0] = filterType == 2 ? 2 : 0;
  if (filterType != 2 || !above) {
    std::memcpy(out + 1, row, rowBytes);
    return;
  }
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= rowBytes; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 + i), _mm_sub_epi8(a, b));
  }
#endif
  for (; i < rowBytes; ++i) out[i + 1] = static_cast<uint8_t>(row[i] - above[i]);
}

bool encodePng(const uint8_t* pixels, uint32_t width, uint32_t height, int channels,
               std::vector<uint8_t>& out, unsigned flags) {
  if (!pixels || width == 0 || height == 0 || width > png_layout::kMaxDimension ||
      height > png_layout::kMaxDimension || uint64_t{width} * height > 0xFFFFFFFFull ||
      (channels != 3 && channels != 4)) {
    return false;
  }
  const size_t rowBytes = size_t{width} * channels;
  const size_t filteredSize = (rowBytes + 1) * height;
  std::vector<uint8_t> filtered(filteredSize);

  size_t streamSize = 0;
  if (!(flags & kPngStored)) {
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* row = pixels + y * rowBytes;
      pngFilterRow(y == 0 ? 0 : 2, row, y == 0 ? nullptr : row - rowBytes, rowBytes,
                   &filtered[y * (rowBytes + 1)]);
    }
    const uint32_t adler = adler32Png(filtered.data(), filteredSize, 1);
    const size_t room = (filteredSize + 65) & ~size_t{7};
    out.resize(kHeaderSize + room + kSlack);
    uint8_t* stream = out.data() + kHeaderSize;
    const bool twoPass = flags & kPngTwoPass;
    if (channels == 3) {
      streamSize = twoPass
                       ? compressTwoPass<3>(filtered.data(), rowBytes, height, adler, stream, room)
                       : compressOnePass<3>(filtered.data(), rowBytes, height, adler, stream, room);
    } else {
      streamSize = twoPass
                       ? compressTwoPass<4>(filtered.data(), rowBytes, height, adler, stream, room)
                       : compressOnePass<4>(filtered.data(), rowBytes, height, adler, stream, room);
    }
  }
  // Stored blocks when asked for, or when the compressed stream did not fit its room.
  const bool stored = streamSize == 0;
  if (stored) {
    for (uint32_t y = 0; y < height; ++y) {
      pngFilterRow(0, pixels + y * rowBytes, nullptr, rowBytes, &filtered[y * (rowBytes + 1)]);
    }
    streamSize = storedStreamSize(filteredSize);
  }
  if (streamSize > png_layout::kMaxChunkLength) {
    out.clear();
    return false;
  }
  out.resize(kHeaderSize + streamSize + 16);
  if (stored) {
    writeStored(filtered.data(), filteredSize, adler32Png(filtered.data(), filteredSize, 1),
                out.data() + kHeaderSize);
  }
  writeHeader(out.data(), width, height, channels, streamSize);
  png_layout::writeBigEndian32(out.data() + kHeaderSize + streamSize,
                               crc32Png(out.data() + 54, 4 + streamSize, 0));
  std::memcpy(out.data() + kHeaderSize + streamSize + 4, png_layout::kIendChunk, 12);
  return true;
}
