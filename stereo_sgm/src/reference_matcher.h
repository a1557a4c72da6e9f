#pragma once

#include "matcher_config.h"

#include <cstdint>
#include <vector>

// Semi-global matching on the CPU from the same per-pixel rules as the device kernels: the
// oracle the device matcher must reproduce bit for bit. Images are packed (step = width).
namespace sgm {

namespace reference {

// Census words (either mode, zero-extended) of a source of the given element type; pixels
// whose window leaves the image hold 0.
std::vector<std::uint64_t> censusImage(const void* src, ImageType type, int width, int height,
                                       int census_mode);

// Cost volume: one slice of width x height x D 8-bit path costs per path, in path order
// (down, up, right, left, then down-right, down-left, up-left, up-right).
std::vector<std::uint8_t> aggregateCosts(const std::vector<std::uint64_t>& left,
                                         const std::vector<std::uint64_t>& right, int width,
                                         int height, int disparity_size,
                                         const MatcherParameters& p);

struct Disparities {
  std::vector<std::uint16_t> left, right;
};

Disparities winnerTakesAll(const std::vector<std::uint8_t>& costs, int width, int height,
                           int disparity_size, const MatcherParameters& p);

std::vector<std::uint16_t> medianFilter(const std::vector<std::uint16_t>& src, int width,
                                        int height);

// Left-right check, in place on the left map.
void checkConsistency(std::vector<std::uint16_t>& left, const std::vector<std::uint16_t>& right,
                      const void* left_src, ImageType src_type, int width, int height,
                      bool subpixel, int lr_max_diff);

void correctDisparityRange(std::vector<std::uint16_t>& disparity, bool subpixel, int min_disparity);

}  // namespace reference

class ReferenceMatcher {
 public:
  // Same arguments and refusals as the device matcher (std::logic_error).
  ReferenceMatcher(int width, int height, int disparity_size, int src_depth_bits,
                   int dst_depth_bits, const MatcherParameters& p);

  // Host buffers: sources of the input depth, destination of the output depth.
  void execute(const void* left, const void* right, void* dst) const;

 private:
  int width_, height_, disparity_size_;
  ImageType src_type_;
  bool dst_16bit_;
  MatcherParameters p_;
};

}  // namespace sgm
