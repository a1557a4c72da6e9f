#include "matcher_config.h"

#include "sgm_rules.h"

#include <stdexcept>

namespace sgm {

std::size_t elementSize(ImageType type) { return std::size_t{1} << static_cast<int>(type); }

int pathCount(int path_mode) { return path_mode == kPathMode4 ? 4 : 8; }

int censusBits(int census_mode) {
  return census_mode == kCensus9x7 ? kCensus9x7Bits : kCensusSymmetricBits;
}

std::int64_t largestOutput(int disparity_size, const MatcherParameters& p) {
  const std::int64_t max = std::int64_t{disparity_size} - 1 + p.min_disparity;
  return p.subpixel ? 16 * max + 15 : max;
}

std::int64_t smallestOutput(const MatcherParameters& p) {
  return p.subpixel ? 16 * std::int64_t{p.min_disparity} - 16 : std::int64_t{p.min_disparity} - 1;
}

void checkMatcherConfiguration(int width, int height, int disparity_size, int src_depth_bits,
                               int dst_depth_bits, const MatcherParameters& p) {
  if (src_depth_bits != 8 && src_depth_bits != 16 && src_depth_bits != 32)
    throw std::logic_error("src depth bits must be 8, 16 or 32");
  if (dst_depth_bits != 8 && dst_depth_bits != 16)
    throw std::logic_error("dst depth bits must be 8 or 16");
  if (disparity_size != 64 && disparity_size != 128 && disparity_size != 256)
    throw std::logic_error("disparity size must be 64 or 128 or 256");
  const std::int64_t max = largestOutput(disparity_size, p);
  bool representable = max < (std::int64_t{1} << dst_depth_bits);
  if (p.min_disparity < 1) {
    const std::int64_t half = std::int64_t{1} << (dst_depth_bits - 1);
    representable = representable && smallestOutput(p) >= -half && max < half;
  }
  if (!representable)
    throw std::logic_error("output depth bits must be sufficient for representing output value");
  if (p.census_mode != kCensus9x7 && p.census_mode != kCensusSymmetric)
    throw std::logic_error("census mode must be 0 or 1");
  if (p.path_mode != kPathMode4 && p.path_mode != kPathMode8)
    throw std::logic_error("path mode must be 0 or 1");
  if (width <= 0 || height <= 0) throw std::logic_error("image width and height must be positive");
  // Path costs are stored in 8 bits: C + P2 must not wrap.
  if (std::int64_t{p.P2} + censusBits(p.census_mode) > 255)
    throw std::logic_error("P2 plus the census bits must not exceed 255");
}

ImageType sourceType(int src_depth_bits) {
  return src_depth_bits == 8 ? ImageType::k8Bit
                             : (src_depth_bits == 16 ? ImageType::k16Bit : ImageType::k32Bit);
}

}  // namespace sgm
