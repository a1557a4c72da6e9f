#include "reference_matcher.h"

#include "sgm_rules.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sgm {
namespace reference {
namespace {

template <typename T>
std::vector<std::uint64_t> censusOf(const T* src, int width, int height, int census_mode) {
  std::vector<std::uint64_t> out(static_cast<std::size_t>(width) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!hasCensus(x, y, width, height)) continue;
      auto at = [&](int dx, int dy) {
        return src[static_cast<std::size_t>(y + dy) * width + x + dx];
      };
      out[static_cast<std::size_t>(y) * width + x] =
          census_mode == kCensus9x7 ? census9x7(at) : censusSymmetric(at);
    }
  }
  return out;
}

template <typename T>
bool isZeroPixel(const void* src, std::size_t i) {
  return static_cast<const T*>(src)[i] == 0;
}

bool sourceIsZero(const void* src, ImageType type, std::size_t i) {
  switch (type) {
    case ImageType::k8Bit:
      return isZeroPixel<std::uint8_t>(src, i);
    case ImageType::k16Bit:
      return isZeroPixel<std::uint16_t>(src, i);
    default:
      return isZeroPixel<std::uint32_t>(src, i);
  }
}

// Path directions in slice order.
constexpr int kPathDx[8] = {0, 0, 1, -1, 1, -1, -1, 1};
constexpr int kPathDy[8] = {1, -1, 0, 0, 1, 1, -1, -1};

}  // namespace

std::vector<std::uint64_t> censusImage(const void* src, ImageType type, int width, int height,
                                       int census_mode) {
  switch (type) {
    case ImageType::k8Bit:
      return censusOf(static_cast<const std::uint8_t*>(src), width, height, census_mode);
    case ImageType::k16Bit:
      return censusOf(static_cast<const std::uint16_t*>(src), width, height, census_mode);
    default:
      return censusOf(static_cast<const std::uint32_t*>(src), width, height, census_mode);
  }
}

std::vector<std::uint8_t> aggregateCosts(const std::vector<std::uint64_t>& left,
                                         const std::vector<std::uint64_t>& right, int width,
                                         int height, int disparity_size,
                                         const MatcherParameters& p) {
  const int D = disparity_size;
  const std::size_t slice = static_cast<std::size_t>(width) * height * D;
  const int paths = pathCount(p.path_mode);
  std::vector<std::uint8_t> costs(slice * paths);
  const int p1 = static_cast<int>(p.P1), p2 = static_cast<int>(p.P2);
  for (int k = 0; k < paths; ++k) {
    const int dx = kPathDx[k], dy = kPathDy[k];
    std::uint8_t* L = costs.data() + slice * k;
    // Visit pixels so that each pixel's predecessor on the path comes first.
    for (int i = 0; i < height; ++i) {
      const int y = dy >= 0 ? i : height - 1 - i;
      for (int j = 0; j < width; ++j) {
        const int x = dx >= 0 ? j : width - 1 - j;
        const int px = x - dx, py = y - dy;
        const bool has_prev = px >= 0 && px < width && py >= 0 && py < height;
        const std::uint8_t* prev =
            has_prev ? L + (static_cast<std::size_t>(py) * width + px) * D : nullptr;
        int prev_min = 0;
        if (has_prev) prev_min = *std::min_element(prev, prev + D);
        const std::size_t pixel = static_cast<std::size_t>(y) * width + x;
        const std::uint64_t* right_row = right.data() + static_cast<std::size_t>(y) * width;
        for (int d = 0; d < D; ++d) {
          const int cost =
              matchingCost(left[pixel], right_row, rightColumn(x, d, p.min_disparity), width);
          const int here = has_prev ? prev[d] : 0;
          const int below = d > 0 ? (has_prev ? prev[d - 1] : 0) : kNoNeighbourCost;
          const int above = d < D - 1 ? (has_prev ? prev[d + 1] : 0) : kNoNeighbourCost;
          L[pixel * D + d] = pathCost(cost, here, below, above, prev_min, p1, p2);
        }
      }
    }
  }
  return costs;
}

Disparities winnerTakesAll(const std::vector<std::uint8_t>& costs, int width, int height,
                           int disparity_size, const MatcherParameters& p) {
  const int D = disparity_size;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  const int paths = pathCount(p.path_mode);
  // Summed over the paths on demand: a volume of sums would be four times the costs.
  auto summed = [&](std::size_t pixel, int d) {
    std::uint32_t sum = 0;
    for (int k = 0; k < paths; ++k) sum += costs[(pixels * k + pixel) * D + d];
    return sum;
  };

  Disparities out{std::vector<std::uint16_t>(pixels), std::vector<std::uint16_t>(pixels)};
  std::vector<std::uint32_t> s(D);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t pixel = static_cast<std::size_t>(y) * width + x;
      for (int d = 0; d < D; ++d) s[d] = summed(pixel, d);
      std::uint32_t best = winnerKey(s[0], 0);
      for (int d = 1; d < D; ++d) best = std::min(best, winnerKey(s[d], d));
      const int bd = static_cast<int>(best & 0xffff);
      bool unique = true;
      for (int d = 0; d < D; ++d)
        if (std::abs(d - bd) >= 2 && !uniqueAgainst(s[d], s[bd], p.uniqueness)) unique = false;
      out.left[pixel] = unique ? refinedDisparity(bd, D, bd > 0 ? s[bd - 1] : 0, s[bd],
                                                  bd < D - 1 ? s[bd + 1] : 0, p.subpixel)
                               : kInvalidDisparity;
      // Right pixel x sees left pixel x + d.
      std::uint32_t right_best = ~0u;
      for (int d = 0; d < D && x + d < width; ++d)
        right_best = std::min(right_best, winnerKey(summed(pixel + d, d), d));
      out.right[pixel] = static_cast<std::uint16_t>(right_best & 0xffff);
    }
  }
  return out;
}

std::vector<std::uint16_t> medianFilter(const std::vector<std::uint16_t>& src, int width,
                                        int height) {
  std::vector<std::uint16_t> out(src.size());
  auto at = [&](int x, int y) { return src[static_cast<std::size_t>(y) * width + x]; };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      out[static_cast<std::size_t>(y) * width + x] =
          medianAt<std::uint16_t>(at, x, y, width, height);
  return out;
}

void checkConsistency(std::vector<std::uint16_t>& left, const std::vector<std::uint16_t>& right,
                      const void* left_src, ImageType src_type, int width, int height,
                      bool subpixel, int lr_max_diff) {
  for (int y = 0; y < height; ++y) {
    const std::uint16_t* right_row = right.data() + static_cast<std::size_t>(y) * width;
    auto right_at = [&](int xr) { return right_row[xr]; };
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      left[i] = consistentDisparity(left[i], sourceIsZero(left_src, src_type, i), x, width,
                                    subpixel, lr_max_diff, right_at);
    }
  }
}

void correctDisparityRange(std::vector<std::uint16_t>& disparity, bool subpixel,
                           int min_disparity) {
  if (!rangeCorrectionNeeded(subpixel, min_disparity)) return;
  for (std::uint16_t& v : disparity) v = correctedDisparity(v, subpixel, min_disparity);
}

}  // namespace reference

ReferenceMatcher::ReferenceMatcher(int width, int height, int disparity_size, int src_depth_bits,
                                   int dst_depth_bits, const MatcherParameters& p)
    : width_(width), height_(height), disparity_size_(disparity_size), p_(p) {
  checkMatcherConfiguration(width, height, disparity_size, src_depth_bits, dst_depth_bits, p);
  src_type_ = sourceType(src_depth_bits);
  dst_16bit_ = dst_depth_bits == 16;
}

void ReferenceMatcher::execute(const void* left, const void* right, void* dst) const {
  using namespace reference;
  const auto census_left = censusImage(left, src_type_, width_, height_, p_.census_mode);
  const auto census_right = censusImage(right, src_type_, width_, height_, p_.census_mode);
  const auto costs =
      aggregateCosts(census_left, census_right, width_, height_, disparity_size_, p_);
  const Disparities raw = winnerTakesAll(costs, width_, height_, disparity_size_, p_);
  std::vector<std::uint16_t> result = medianFilter(raw.left, width_, height_);
  const std::vector<std::uint16_t> right_filtered = medianFilter(raw.right, width_, height_);
  checkConsistency(result, right_filtered, left, src_type_, width_, height_, p_.subpixel,
                   p_.lr_max_diff);
  correctDisparityRange(result, p_.subpixel, p_.min_disparity);
  if (dst_16bit_) {
    std::memcpy(dst, result.data(), result.size() * sizeof(std::uint16_t));
  } else {
    auto* out = static_cast<std::uint8_t*>(dst);
    for (std::size_t i = 0; i < result.size(); ++i) out[i] = static_cast<std::uint8_t>(result[i]);
  }
}

}  // namespace sgm
