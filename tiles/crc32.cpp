#include "tiles/crc32.h"

#include "tiles/cpu_features.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr std::array<uint32_t, 256> makeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[n] = c;
  }
  return t;
}

constexpr std::array<uint32_t, 256> kTable = makeTable();

// Works on the inverted register, as do the callers below.
uint32_t crcBytes(const uint8_t* p, size_t n, uint32_t c) {
  for (size_t i = 0; i < n; ++i) c = kTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)

#define CRC_TARGET __attribute__((target("sse2,sse3,ssse3,sse4.1,pclmul")))

CRC_TARGET inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds 64 bytes at a time in four 128-bit lanes, then 16 bytes at a time, and reduces the
// remaining 128 bits to 32 by a Barrett reduction. The constants are powers of x modulo the
// polynomial in the bit-reflected domain: x^(512±32) for folding by four lanes, x^(128±32)
// for folding by one, x^64 for the 64-to-32 step, then floor(x^64 / P) and P itself.
CRC_TARGET uint32_t crcCarryless(const uint8_t* p, size_t n, uint32_t c) {
  if (n < 64) return crcBytes(p, n, c);
  const __m128i byFour = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
  const __m128i byOne = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124LL);
  const __m128i barrett = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
  const __m128i low32 = _mm_setr_epi32(-1, 0, 0, 0);

  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x0 = _mm_xor_si128(fold(x0, byFour), load(p));
    x1 = _mm_xor_si128(fold(x1, byFour), load(p + 16));
    x2 = _mm_xor_si128(fold(x2, byFour), load(p + 32));
    x3 = _mm_xor_si128(fold(x3, byFour), load(p + 48));
    p += 64;
    n -= 64;
  }
  x0 = _mm_xor_si128(fold(x0, byOne), x1);
  x0 = _mm_xor_si128(fold(x0, byOne), x2);
  x0 = _mm_xor_si128(fold(x0, byOne), x3);
  while (n >= 16) {
    x0 = _mm_xor_si128(fold(x0, byOne), load(p));
    p += 16;
    n -= 16;
  }
  // 128 bits to 64.
  x0 = _mm_xor_si128(_mm_clmulepi64_si128(x0, byOne, 0x10), _mm_srli_si128(x0, 8));
  // 64 bits to 32.
  x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), k5, 0x00),
                     _mm_srli_si128(x0, 4));
  // Barrett reduction to the 32-bit remainder.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  c = static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x0, t), 1));
  return crcBytes(p, n, c);
}

#undef CRC_TARGET

#endif

}  // namespace

uint32_t crc32Png(const uint8_t* bytes, size_t length, uint32_t crc) {
  if (length == 0) return crc;
  uint32_t c = ~crc;
#if defined(__x86_64__)
  if (crcUsesCarrylessMultiply()) return ~crcCarryless(bytes, length, c);
#endif
  return ~crcBytes(bytes, length, c);
}
