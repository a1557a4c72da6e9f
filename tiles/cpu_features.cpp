#include "tiles/cpu_features.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

enum FeatureBit : uint32_t {
  kSse = 1u << 0,
  kSse2 = 1u << 1,
  kSse3 = 1u << 2,
  kSsse3 = 1u << 3,
  kSse41 = 1u << 4,
  kSse42 = 1u << 5,
  kPclmul = 1u << 6,
  kAvx = 1u << 7,
  kAvx2 = 1u << 8,
};

constexpr uint32_t kVectorBase = kSse | kSse2 | kSse3 | kSsse3 | kSse41;

// One word so that readers on other threads never see a half-written set.
std::atomic<uint32_t> g_features{0};

uint32_t toMask(const ProcessorFeatures& f) {
  uint32_t mask = 0;
  const std::pair<bool, FeatureBit> bits[] = {
      {f.sse, kSse},          {f.sse2, kSse2},   {f.sse3, kSse3},
      {f.ssse3, kSsse3},      {f.sse41, kSse41}, {f.sse42, kSse42},
      {f.pclmulqdq, kPclmul}, {f.avx, kAvx},     {f.avx2, kAvx2}};
  for (const auto& [present, bit] : bits) {
    if (present) mask |= bit;
  }
  return mask;
}

uint32_t queryProcessor() {
  uint32_t mask = 0;
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  if (d & bit_SSE) mask |= kSse;
  if (d & bit_SSE2) mask |= kSse2;
  if (c & bit_SSE3) mask |= kSse3;
  if (c & bit_SSSE3) mask |= kSsse3;
  if (c & bit_SSE4_1) mask |= kSse41;
  if (c & bit_SSE4_2) mask |= kSse42;
  if (c & bit_PCLMUL) mask |= kPclmul;
  // AVX registers are usable only when the operating system saves them on a switch.
  bool osSavesYmm = false;
  if ((c & bit_OSXSAVE) && (c & bit_AVX)) {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    osSavesYmm = (lo & 0x6) == 0x6;
  }
  if (osSavesYmm) mask |= kAvx;
  if (osSavesYmm && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2)) mask |= kAvx2;
#endif
  return mask;
}

}  // namespace

void detectCpuFeatures() {
  static std::once_flag once;
  std::call_once(once, [] { g_features.store(queryProcessor(), std::memory_order_relaxed); });
}

ProcessorFeatures processorFeatures() {
  const uint32_t m = g_features.load(std::memory_order_relaxed);
  ProcessorFeatures f;
  f.sse = m & kSse;
  f.sse2 = m & kSse2;
  f.sse3 = m & kSse3;
  f.ssse3 = m & kSsse3;
  f.sse41 = m & kSse41;
  f.sse42 = m & kSse42;
  f.pclmulqdq = m & kPclmul;
  f.avx = m & kAvx;
  f.avx2 = m & kAvx2;
  return f;
}

void setProcessorFeatures(const ProcessorFeatures& features) {
  g_features.store(toMask(features), std::memory_order_relaxed);
}

bool crcUsesCarrylessMultiply() {
  const uint32_t need = kVectorBase | kPclmul;
  return (g_features.load(std::memory_order_relaxed) & need) == need;
}

bool adlerUsesVectorLoop() {
  return (g_features.load(std::memory_order_relaxed) & kVectorBase) == kVectorBase;
}
