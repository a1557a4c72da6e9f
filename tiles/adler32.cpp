#include "tiles/adler32.h"

#include "tiles/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kBase = 65521;
// The most bytes the two sums can take before 32 bits could overflow.
constexpr size_t kMaxRun = 5552;

uint32_t adlerScalar(const uint8_t* p, size_t n, uint32_t s1, uint32_t s2) {
  while (n > 0) {
    size_t run = n < kMaxRun ? n : kMaxRun;
    n -= run;
    for (; run >= 8; run -= 8, p += 8) {
      s1 += p[0];
      s2 += s1;
      s1 += p[1];
      s2 += s1;
      s1 += p[2];
      s2 += s1;
      s1 += p[3];
      s2 += s1;
      s1 += p[4];
      s2 += s1;
      s1 += p[5];
      s2 += s1;
      s1 += p[6];
      s2 += s1;
      s1 += p[7];
      s2 += s1;
    }
    for (; run > 0; --run) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kBase;
    s2 %= kBase;
  }
  return (s2 << 16) | s1;
}

#if defined(__x86_64__)

#define ADLER_TARGET __attribute__((target("sse2,sse3,ssse3,sse4.1")))

ADLER_TARGET inline uint32_t sumLanes(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Per 16-byte block b of a run: s2 gains 16 x (s1 before the block) plus sum (16 - i) b[i],
// and s1 gains sum b[i]. The block sums go to s1 lanes, the earlier s1 lanes to prefix
// lanes, the weighted sums to s2 lanes; they are folded into s1 and s2 once per run.
ADLER_TARGET uint32_t adlerVector(const uint8_t* p, size_t n, uint32_t s1, uint32_t s2) {
  const __m128i weights = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  while (n >= 16) {
    size_t blocks = (n < kMaxRun ? n : kMaxRun) / 16;
    n -= blocks * 16;
    const uint64_t start = s1;
    __m128i vs1 = zero, vs2 = zero, prefix = zero;
    for (size_t b = 0; b < blocks; ++b, p += 16) {
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      prefix = _mm_add_epi32(prefix, vs1);
      vs1 = _mm_add_epi32(vs1, _mm_sad_epu8(d, zero));
      vs2 = _mm_add_epi32(vs2, _mm_madd_epi16(_mm_maddubs_epi16(d, weights), ones));
    }
    const uint64_t total2 =
        s2 + 16 * start * blocks + 16 * uint64_t{sumLanes(prefix)} + sumLanes(vs2);
    s1 = static_cast<uint32_t>((start + sumLanes(vs1)) % kBase);
    s2 = static_cast<uint32_t>(total2 % kBase);
  }
  return adlerScalar(p, n, s1, s2);
}

#undef ADLER_TARGET

#endif

}  // namespace

uint32_t adler32Png(const uint8_t* bytes, size_t length, uint32_t adler) {
  const uint32_t s1 = adler & 0xFFFF;
  const uint32_t s2 = adler >> 16;
  if (length == 0) return adler;
#if defined(__x86_64__)
  if (adlerUsesVectorLoop()) return adlerVector(bytes, length, s1, s2);
#endif
  return adlerScalar(bytes, length, s1, s2);
}
