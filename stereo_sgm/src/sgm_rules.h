#pragma once

#include <cstdint>

// The per-pixel rules of semi-global matching, written once for the device kernels and the
// CPU reference matcher. Kernels add only indexing, staging, shuffles and reductions.
#ifdef __CUDACC__
#define SGM_HD __host__ __device__
#else
#define SGM_HD
#endif

namespace sgm {

// Invalid disparity in 16-bit maps until the range correction.
constexpr std::uint16_t kInvalidDisparity = 65535;
// Census window half sizes: 9 x 7 pixels.
constexpr int kCensusRadiusX = 4;
constexpr int kCensusRadiusY = 3;
// Bits compared by each census mode (9 x 7 and symmetric).
constexpr int kCensus9x7Bits = 48;
constexpr int kCensusSymmetricBits = 31;
// Stands for a disparity neighbour outside 0 ... D - 1 in the path update.
constexpr int kNoNeighbourCost = 1 << 20;

template <typename T>
SGM_HD inline T invalidValue() {
  return static_cast<T>(~static_cast<T>(0));
}

template <typename T>
SGM_HD inline T minOf(T a, T b) {
  return b < a ? b : a;
}

// True where the census window lies inside the image; other pixels keep a zero census.
SGM_HD inline bool hasCensus(int x, int y, int width, int height) {
  return x >= kCensusRadiusX && x < width - kCensusRadiusX && y >= kCensusRadiusY &&
         y < height - kCensusRadiusY;
}

// 9 x 7 census: 48 neighbours of the centre in rows -3 ... +3 except row 0 and columns
// -4 ... +4 except column 0, row by row from the top left; a bit is set where the centre is
// brighter. `at(dx, dy)` reads the pixel at that offset from the centre.
template <typename At>
SGM_HD inline std::uint64_t census9x7(At at) {
  const auto centre = at(0, 0);
  std::uint64_t word = 0;
  for (int dy = -kCensusRadiusY; dy <= kCensusRadiusY; ++dy) {
    if (dy == 0) continue;
    for (int dx = -kCensusRadiusX; dx <= kCensusRadiusX; ++dx) {
      if (dx == 0) continue;
      word = (word << 1) | static_cast<std::uint64_t>(centre > at(dx, dy));
    }
  }
  return word;
}

// Symmetric census: 31 pixel pairs mirrored through the centre (rows -3 ... -1 whole, then
// the four pixels left of the centre); a bit is set where the first of the pair is brighter.
template <typename At>
SGM_HD inline std::uint32_t censusSymmetric(At at) {
  std::uint32_t word = 0;
  for (int dy = -kCensusRadiusY; dy <= 0; ++dy) {
    const int last_dx = dy == 0 ? -1 : kCensusRadiusX;
    for (int dx = -kCensusRadiusX; dx <= last_dx; ++dx) {
      word = (word << 1) | static_cast<std::uint32_t>(at(dx, dy) > at(-dx, -dy));
    }
  }
  return word;
}

SGM_HD inline int popCount(std::uint32_t v) {
#ifdef __CUDA_ARCH__
  return __popc(v);
#else
  return __builtin_popcount(v);
#endif
}

SGM_HD inline int popCount(std::uint64_t v) {
#ifdef __CUDA_ARCH__
  return __popcll(v);
#else
  return __builtin_popcountll(v);
#endif
}

// Column of the right census compared with left column x at disparity d.
SGM_HD inline int rightColumn(int x, int d, int min_disparity) { return x - d - min_disparity; }

// Matching cost of left pixel x at disparity d; a right column outside the row compares
// against a zero census.
template <typename C>
SGM_HD inline int matchingCost(C left, const C* right_row, int xr, int width) {
  const C right = (xr >= 0 && xr < width) ? right_row[xr] : C(0);
  return popCount(left ^ right);
}

// One step along a path: L(d) = C(d) + min(Lp(d) - m, Lp(d -+ 1) - m + P1, P2), m the
// smallest previous cost; absent neighbours pass kNoNeighbourCost. The result fits 8 bits
// when P2 plus the census bits stays within 255 (checked at construction).
SGM_HD inline std::uint8_t pathCost(int cost, int prev, int prev_below, int prev_above,
                                    int prev_min, int p1, int p2) {
  int best = minOf(prev - prev_min, p2);
  best = minOf(best, prev_below - prev_min + p1);
  best = minOf(best, prev_above - prev_min + p1);
  return static_cast<std::uint8_t>(cost + best);
}

// Winner-takes-all key: the smaller summed cost wins, ties go to the smaller disparity.
SGM_HD inline std::uint32_t winnerKey(std::uint32_t summed_cost, int d) {
  return (summed_cost << 16) | static_cast<std::uint32_t>(d);
}

// Uniqueness against one disparity at least 2 away from the winner.
SGM_HD inline bool uniqueAgainst(std::uint32_t other_cost, std::uint32_t best_cost,
                                 float uniqueness) {
  return static_cast<float>(other_cost) * uniqueness >= static_cast<float>(best_cost);
}

// Output of a unique winner d: 16 d plus a parabola fraction with subpixel, else d. The
// winner is the first minimum, so below > best and the denominator is at least 1.
SGM_HD inline std::uint16_t refinedDisparity(int d, int disparity_size, std::uint32_t below,
                                             std::uint32_t best, std::uint32_t above,
                                             bool subpixel) {
  if (!subpixel) return static_cast<std::uint16_t>(d);
  if (d <= 0 || d >= disparity_size - 1) return static_cast<std::uint16_t>(16 * d);
  const int den = static_cast<int>(below) - 2 * static_cast<int>(best) + static_cast<int>(above);
  const int num = (static_cast<int>(below) - static_cast<int>(above)) * 16 + den;
  return static_cast<std::uint16_t>(16 * d + num / (2 * den));
}

template <typename T>
SGM_HD inline void sortPair(T& a, T& b) {
  const T lo = minOf(a, b);
  b = a < b ? b : a;
  a = lo;
}

// Median of nine values by a fixed exchange network; v is reordered.
template <typename T>
SGM_HD inline T median9(T* v) {
  sortPair(v[1], v[2]);
  sortPair(v[4], v[5]);
  sortPair(v[7], v[8]);
  sortPair(v[0], v[1]);
  sortPair(v[3], v[4]);
  sortPair(v[6], v[7]);
  sortPair(v[1], v[2]);
  sortPair(v[4], v[5]);
  sortPair(v[7], v[8]);
  sortPair(v[0], v[3]);
  sortPair(v[5], v[8]);
  sortPair(v[4], v[7]);
  sortPair(v[3], v[6]);
  sortPair(v[1], v[4]);
  sortPair(v[2], v[5]);
  sortPair(v[4], v[7]);
  sortPair(v[4], v[2]);
  sortPair(v[6], v[4]);
  sortPair(v[4], v[2]);
  return v[4];
}

// Median of the 3 x 3 neighbourhood; the one-pixel border is invalid (it has no full window).
template <typename T, typename At>
SGM_HD inline T medianAt(At at, int x, int y, int width, int height) {
  if (x <= 0 || y <= 0 || x >= width - 1 || y >= height - 1) return invalidValue<T>();
  T v[9];
  int i = 0;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) v[i++] = at(x + dx, y + dy);
  return median9(v);
}

// Left-right check of left disparity d at column x; `right_at(xr)` reads the right map.
template <typename RightAt>
SGM_HD inline std::uint16_t consistentDisparity(std::uint16_t d, bool source_is_zero, int x,
                                                int width, bool subpixel, int lr_max_diff,
                                                RightAt right_at) {
  if (source_is_zero || d == kInvalidDisparity) return kInvalidDisparity;
  const int k = subpixel ? (d >> 4) : d;
  const int xr = x - k;
  if (xr >= width || xr < 0 || lr_max_diff < 0) return d;
  const int diff = static_cast<int>(right_at(xr)) - k;
  return (diff <= lr_max_diff && -diff <= lr_max_diff) ? d : kInvalidDisparity;
}

// Shifts a disparity by the minimum disparity (two's complement where negative); invalid
// values become min_disparity - 1, in the output's scale.
SGM_HD inline std::uint16_t correctedDisparity(std::uint16_t v, bool subpixel, int min_disparity) {
  const int scale = subpixel ? 16 : 1;
  if (v == kInvalidDisparity) return static_cast<std::uint16_t>((min_disparity - 1) * scale);
  return static_cast<std::uint16_t>(v + min_disparity * scale);
}

SGM_HD inline bool rangeCorrectionNeeded(bool subpixel, int min_disparity) {
  return subpixel || min_disparity != 0;
}

}  // namespace sgm
