#include "tiles/adler32.h"
#include "tiles/bit_reader.h"
#include "tiles/crc32.h"
#include "tiles/deflate_format.h"
#include "tiles/huffman_code.h"
#include "tiles/png_codec.h"
#include "tiles/png_layout.h"

#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using png_layout::readBigEndian32;

constexpr int kTableBits = deflate::kMaxCodeBits;
constexpr int kLengthShift = 9;  // table entry: code length above, symbol below; 0 = no code

// A single-lookup decoding table for a code whose lengths are at most tableBits. Returns
// false for lengths above that or an over-subscribed code; slots of an incomplete code's
// missing codes stay 0.
bool buildTable(const uint8_t* lengths, int n, int tableBits, uint16_t* table) {
  if (n > deflate::kLiteralLengthSymbols) return false;  // no alphabet is larger
  int countPerLength[16] = {};
  for (int s = 0; s < n; ++s) {
    if (lengths[s] > tableBits) return false;
    ++countPerLength[lengths[s]];
  }
  int left = 1;
  for (int len = 1; len <= tableBits; ++len) {
    left = 2 * left - countPerLength[len];
    if (left < 0) return false;
  }
  std::memset(table, 0, sizeof(uint16_t) << tableBits);
  uint16_t codes[deflate::kLiteralLengthSymbols];
  canonicalCodes(lengths, n, codes);
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    const uint16_t entry = static_cast<uint16_t>((len << kLengthShift) | s);
    for (int fill = codes[s]; fill < (1 << tableBits); fill += 1 << len) table[fill] = entry;
  }
  return true;
}

// Decodes one symbol; -1 for no valid code or too few bits left.
inline int decodeSymbol(BitReader& in, const uint16_t* table, int tableBits) {
  const uint16_t entry = table[in.peek(tableBits)];
  const unsigned len = entry >> kLengthShift;
  if (len == 0 || !in.consume(len)) return -1;
  return entry & ((1 << kLengthShift) - 1);
}

struct DynamicCodes {
  uint16_t literals[1 << kTableBits];
  uint16_t distances[1 << kTableBits];
  // The literal table again, with a second literal wherever both codes fit in the lookup's
  // 12 bits: symbol in bits 0-8, its length in 9-12, then the second literal in 13-20, the
  // combined length in 21-24 and a flag in bit 25.
  uint32_t pairs[1 << kTableBits];
};

constexpr uint32_t kHasSecond = 1u << 25;

void buildPairTable(const uint16_t* single, uint32_t* pairs) {
  for (uint32_t i = 0; i < (1u << kTableBits); ++i) {
    const uint32_t first = single[i];
    pairs[i] = first;
    const uint32_t len1 = first >> kLengthShift;
    if (len1 == 0 || (first & 511) >= 256) continue;
    // Only the bits after the first code are known; the second code must fit in them.
    const uint32_t second = single[i >> len1];
    const uint32_t len2 = second >> kLengthShift;
    if (len2 == 0 || len1 + len2 > kTableBits || (second & 511) >= 256) continue;
    pairs[i] = first | ((second & 255) << 13) | ((len1 + len2) << 21) | kHasSecond;
  }
}

// Reads HLIT, HDIST, HCLEN, the code-length code and the code lengths after the block type.
bool readDynamicHeader(BitReader& in, DynamicCodes& codes) {
  uint32_t hlit, hdist, hclen;
  if (!in.take(5, hlit) || !in.take(5, hdist) || !in.take(4, hclen)) return false;
  hlit += 257;
  hdist += 1;
  hclen += 4;
  if (hlit > deflate::kLiteralLengthSymbols || hdist > deflate::kDistanceSymbols) return false;
  uint8_t codeLengthLengths[deflate::kCodeLengthSymbols] = {};
  for (uint32_t i = 0; i < hclen; ++i) {
    uint32_t v;
    if (!in.take(3, v)) return false;
    codeLengthLengths[deflate::kCodeLengthOrder[i]] = static_cast<uint8_t>(v);
  }
  uint16_t codeLengthTable[1 << deflate::kMaxCodeLengthBits];
  if (!buildTable(codeLengthLengths, deflate::kCodeLengthSymbols, deflate::kMaxCodeLengthBits,
                  codeLengthTable)) {
    return false;
  }
  uint8_t lengths[deflate::kLiteralLengthSymbols + deflate::kDistanceSymbols] = {};
  const uint32_t total = hlit + hdist;
  uint32_t i = 0;
  while (i < total) {
    in.refill();
    const int symbol = decodeSymbol(in, codeLengthTable, deflate::kMaxCodeLengthBits);
    if (symbol < 0) return false;
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint32_t repeat;
    uint8_t value = 0;
    if (symbol == 16) {
      if (i == 0 || !in.take(2, repeat)) return false;
      value = lengths[i - 1];
      repeat += 3;
    } else if (symbol == 17) {
      if (!in.take(3, repeat)) return false;
      repeat += 3;
    } else {
      if (!in.take(7, repeat)) return false;
      repeat += 11;
    }
    if (repeat > total - i) return false;
    for (; repeat > 0; --repeat) lengths[i++] = value;
  }
  if (lengths[deflate::kEndOfBlock] == 0) return false;
  uint8_t distanceLengths[deflate::kDistanceSymbols] = {};
  std::memcpy(distanceLengths, lengths + hlit, hdist);
  if (!buildTable(lengths, hlit, kTableBits, codes.literals) ||
      !buildTable(distanceLengths, deflate::kDistanceSymbols, kTableBits, codes.distances)) {
    return false;
  }
  buildPairTable(codes.literals, codes.pairs);
  return true;
}

// Scanlines of a single final dynamic-Huffman block in the encoder's shape.
template <int C>
class HuffmanRows {
 public:
  HuffmanRows(const uint8_t* begin, const uint8_t* end) : in_(begin, end), size_(end - begin) {}

  bool start() {
    uint32_t header;
    return in_.take(3, header) && header == 5 && readDynamicHeader(in_, codes_);  // final, dynamic
  }

  // Decodes one filtered scanline (without its filter byte) into row. The reader is copied
  // into a local for the row: byte stores could otherwise alias it and force it through
  // memory on every symbol.
  bool next(uint8_t* row, size_t rowBytes, int filter) {
    BitReader in = in_;
    const bool ok = decodeRow(in, row, rowBytes, filter);
    in_ = in;
    return ok;
  }

  // The block must end right after the last scanline and fill the data to its last byte.
  bool finish() {
    in_.refill();
    return decodeSymbol(in_, codes_.literals, kTableBits) == deflate::kEndOfBlock &&
           in_.bytesUsed() == size_;
  }

 private:
  bool decodeRow(BitReader& in, uint8_t* row, size_t rowBytes, int filter) const {
    in.refill();
    if (decodeSymbol(in, codes_.literals, kTableBits) != filter) return false;
    size_t i = 0;
    while (i < rowBytes) {
      if (in.available() < 32) in.refill();
      const uint32_t entry = codes_.pairs[in.peek(kTableBits)];
      const unsigned len1 = (entry >> kLengthShift) & 15;
      const int symbol = entry & 511;
      if (len1 == 0) return false;
      if (symbol < 256) {
        row[i] = static_cast<uint8_t>(symbol);
        if ((entry & kHasSecond) && rowBytes - i >= 2) {
          if (!in.consume((entry >> 21) & 15)) return false;
          row[i + 1] = static_cast<uint8_t>(entry >> 13);
          i += 2;
        } else {
          if (!in.consume(len1)) return false;
          ++i;
        }
        continue;
      }
      if (!in.consume(len1)) return false;
      if (symbol == deflate::kEndOfBlock) return false;
      const int index = symbol - 257;
      const unsigned extraBits = deflate::kLengthExtra[index];
      const uint32_t extra = in.peek(extraBits);
      if (!in.consume(extraBits)) return false;
      const size_t length = deflate::kLengthBase[index] + extra;
      if (decodeSymbol(in, codes_.distances, kTableBits) != deflate::distanceSymbolFor(C))
        return false;
      if (length % C != 0 || length > size_t{deflate::maxMatchBytes(C)} || i < C ||
          length > rowBytes - i) {
        return false;
      }
      for (size_t end = i + length; i < end; i += C) std::memcpy(row + i, row + i - C, C);
    }
    return true;
  }

  BitReader in_;
  size_t size_;
  DynamicCodes codes_;
};

// Scanlines spread over stored blocks, every one with filter byte 0.
class StoredRows {
 public:
  StoredRows(const uint8_t* begin, const uint8_t* end) : p_(begin), end_(end) {}

  bool start() { return true; }

  bool next(uint8_t* row, size_t rowBytes, int) {
    uint8_t filter;
    return copy(&filter, 1) && filter == 0 && copy(row, rowBytes);
  }

  bool finish() { return blockLeft_ == 0 && final_ && p_ == end_; }

 private:
  bool copy(uint8_t* dst, size_t n) {
    while (n > 0) {
      if (blockLeft_ == 0 && !openBlock()) return false;
      const size_t take = n < blockLeft_ ? n : blockLeft_;
      std::memcpy(dst, p_, take);
      dst += take;
      p_ += take;
      n -= take;
      blockLeft_ -= take;
    }
    return true;
  }

  bool openBlock() {
    if (final_ || end_ - p_ < 5) return false;
    final_ = p_[0] & 1;
    if (((p_[0] >> 1) & 3) != 0) return false;
    const size_t len = p_[1] | (p_[2] << 8);
    const size_t nlen = p_[3] | (p_[4] << 8);
    p_ += 5;
    if ((len ^ nlen) != 0xFFFF || len > static_cast<size_t>(end_ - p_)) return false;
    blockLeft_ = len;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  size_t blockLeft_ = 0;
  bool final_ = false;
};

// Undoes the Up filter in place.
void addRowAbove(uint8_t* row, const uint8_t* above, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), _mm_add_epi8(a, b));
  }
#endif
  for (; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + above[i]);
}

// Rebuilds the image from its filtered scanlines, checks their Adler-32 and converts to the
// wanted channel count.
template <class Rows>
bool decodeScanlines(Rows& rows, uint32_t width, uint32_t height, int channels, int wanted,
                     uint32_t expectedAdler, std::vector<uint8_t>& out) {
  if (!rows.start()) return false;
  const size_t rowBytes = size_t{width} * channels;
  const size_t outRowBytes = size_t{width} * wanted;
  out.resize(outRowBytes * height);
  std::vector<uint8_t> current, above;
  if (wanted != channels) {
    current.resize(rowBytes);
    above.assign(rowBytes, 0);
  }
  uint32_t adler = 1;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t filter = y == 0 ? 0 : 2;
    uint8_t* dst = out.data() + y * outRowBytes;
    uint8_t* row = wanted == channels ? dst : current.data();
    const uint8_t* prev = wanted != channels ? above.data() : y > 0 ? dst - outRowBytes : nullptr;
    if (!rows.next(row, rowBytes, filter)) return false;
    // Stored rows have filter 0 throughout; Huffman rows 0 first, then 2.
    const bool up = filter == 2 && !std::is_same<Rows, StoredRows>::value;
    const uint8_t filterByte = up ? 2 : 0;
    adler = adler32Png(&filterByte, 1, adler);
    adler = adler32Png(row, rowBytes, adler);
    if (up) addRowAbove(row, prev, rowBytes);
    if (wanted == channels) continue;
    for (uint32_t x = 0; x < width; ++x) {
      std::memcpy(dst + x * wanted, row + x * channels, 3);
      if (wanted == 4) dst[x * 4 + 3] = 255;
    }
    current.swap(above);
  }
  return rows.finish() && adler == expectedAdler;
}

// Decodes the IDAT data: a zlib stream in one of the encoder's two forms.
bool decodeStream(const uint8_t* data, size_t size, uint32_t width, uint32_t height, int channels,
                  int wanted, std::vector<uint8_t>& out) {
  if (data[0] != png_layout::kZlibHeader[0] || data[1] != png_layout::kZlibHeader[1]) return false;
  const uint8_t* begin = data + 2;
  const uint8_t* end = data + size - 4;
  const uint32_t adler = readBigEndian32(end);
  const size_t filteredSize = (size_t{width} * channels + 1) * height;
  const int blockType = (begin[0] >> 1) & 3;
  if (blockType == 0) {
    if (filteredSize > static_cast<size_t>(end - begin)) return false;
    StoredRows rows(begin, end);
    return decodeScanlines(rows, width, height, channels, wanted, adler, out);
  }
  // A match of at most 255 bytes takes at least 7 bits, so each data byte yields well under
  // 512 bytes: refuse before allocating what a small corrupt file claims.
  if (blockType != 2 || filteredSize / 512 > static_cast<size_t>(end - begin)) return false;
  if (channels == 3) {
    HuffmanRows<3> rows(begin, end);
    return decodeScanlines(rows, width, height, channels, wanted, adler, out);
  }
  HuffmanRows<4> rows(begin, end);
  return decodeScanlines(rows, width, height, channels, wanted, adler, out);
}

bool isLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

PngStatus decodePng(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out, uint32_t& width,
                    uint32_t& height, int& channelsInFile, int wantedChannels) {
  out.clear();
  width = height = 0;
  channelsInFile = 0;
  if (!bytes || size == 0 || (wantedChannels != 3 && wantedChannels != 4)) return kPngBadArguments;
  if (size < png_layout::kHeaderSize || std::memcmp(bytes, png_layout::kSignature, 8) != 0 ||
      readBigEndian32(bytes + 8) != 13 || std::memcmp(bytes + 12, "IHDR", 4) != 0) {
    return kPngNotPng;
  }
  if (crc32Png(bytes + 12, 17, 0) != readBigEndian32(bytes + 29)) return kPngBadCrc;
  const uint32_t w = readBigEndian32(bytes + 16);
  const uint32_t h = readBigEndian32(bytes + 20);
  if (w == 0 || h == 0 || w > png_layout::kMaxDimension || h > png_layout::kMaxDimension ||
      uint64_t{w} * h > (uint64_t{1} << 30)) {
    return kPngBadDimensions;
  }
  const uint8_t colourType = bytes[25];
  if (bytes[24] != 8 || bytes[26] != 0 || bytes[27] != 0 || bytes[28] != 0 ||
      (colourType != 2 && colourType != 6)) {
    return kPngForeign;
  }
  const int channels = colourType == 2 ? 3 : 4;

  bool sawPrivate = false;
  const uint8_t* idat = nullptr;
  size_t idatSize = 0;
  for (size_t pos = png_layout::kChunksStart;;) {
    if (size - pos < 12) return kPngBrokenChunks;
    const size_t length = readBigEndian32(bytes + pos);
    if (length > size - pos - 12) return kPngBrokenChunks;
    const uint8_t* type = bytes + pos + 4;
    const uint8_t* data = type + 4;
    if (!isLetter(type[0]) || !isLetter(type[1]) || !isLetter(type[2]) || !isLetter(type[3])) {
      return kPngBrokenChunks;
    }
    const bool isIdat = std::memcmp(type, "IDAT", 4) == 0;
    if (!isIdat && crc32Png(type, 4 + length, 0) != readBigEndian32(data + length))
      return kPngBadCrc;
    if (std::memcmp(type, "fdEC", 4) == 0) {
      if (sawPrivate || length != 5 || std::memcmp(data, png_layout::kPrivateChunkData, 5) != 0)
        return kPngForeign;
      sawPrivate = true;
    } else if (isIdat) {
      if (idat || !sawPrivate) return kPngForeign;
      if (length < 7) return kPngShortIdat;
      idat = data;
      idatSize = length;
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      if (!sawPrivate || !idat) return kPngForeign;
      if (uint64_t{w} * h * wantedChannels > 0xFFFFFFFFull) return kPngTooLarge;
      if (!decodeStream(idat, idatSize, w, h, channels, wantedChannels, out)) {
        out.clear();
        return kPngForeign;
      }
      width = w;
      height = h;
      channelsInFile = channels;
      return kPngDecoded;
    } else if (!(type[0] & 0x20)) {
      return kPngForeign;  // an unknown critical chunk
    }
    pos += 12 + length;
  }
}
