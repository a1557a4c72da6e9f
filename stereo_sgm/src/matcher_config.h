#pragma once

#include <cstdint>

// Configuration of a semi-global matcher, shared by the device matcher and the CPU
// reference so both refuse the same configurations.
namespace sgm {

// Element types of matcher images.
enum class ImageType : int { k8Bit = 0, k16Bit = 1, k32Bit = 2, k64Bit = 3 };

// Bits of `execute`'s mode: which pointers are device pointers.
enum ExecuteMode : int {
  kHostInHostOut = 0,
  kDeviceIn = 1,   // the source pointers are device pointers
  kDeviceOut = 2,  // the destination pointer is a device pointer
};

constexpr int kCensus9x7 = 0;
constexpr int kCensusSymmetric = 1;
constexpr int kPathMode4 = 0;
constexpr int kPathMode8 = 1;

struct MatcherParameters {
  unsigned P1 = 10;          // penalty for a disparity change of 1 along a path
  unsigned P2 = 120;         // penalty for a larger change
  float uniqueness = 0.95f;  // a winner must beat disparities at least 2 away by this ratio
  bool subpixel = true;      // output in 1/16 pixel with parabola refinement
  int path_mode = kPathMode8;
  int min_disparity = 0;  // smallest disparity searched; output shifted by it
  int lr_max_diff = 1;    // largest accepted left-right difference; negative: no check
  int census_mode = kCensusSymmetric;
};

std::size_t elementSize(ImageType type);
int pathCount(int path_mode);
int censusBits(int census_mode);

// Largest and smallest value the matcher writes (in the output's scale).
std::int64_t largestOutput(int disparity_size, const MatcherParameters& p);
std::int64_t smallestOutput(const MatcherParameters& p);

// Throws std::logic_error on a configuration the matcher cannot run.
void checkMatcherConfiguration(int width, int height, int disparity_size, int src_depth_bits,
                               int dst_depth_bits, const MatcherParameters& p);

// Element type of a source of the given depth (8, 16 or 32 bits).
ImageType sourceType(int src_depth_bits);

}  // namespace sgm
