#pragma once

#include "matcher_config.h"

#include <climits>
#include <string>
#include <vector>

// Matcher configurations with the refusal each must give (empty: accepted), shared by the
// tests of the reference and the device matcher.
namespace sgm_test {

struct MatcherCase {
  const char* name;
  int width, height, disparity_size, src_bits, dst_bits;
  sgm::MatcherParameters p;
  std::string refusal;
};

inline sgm::MatcherParameters params(bool subpixel, int min_disparity, int census_mode = 1,
                                     int path_mode = 1, unsigned p2 = 120) {
  sgm::MatcherParameters p;
  p.subpixel = subpixel;
  p.min_disparity = min_disparity;
  p.census_mode = census_mode;
  p.path_mode = path_mode;
  p.P2 = p2;
  return p;
}

inline std::vector<MatcherCase> matcherCases() {
  const std::string src = "src depth bits must be 8, 16 or 32";
  const std::string dst = "dst depth bits must be 8 or 16";
  const std::string size = "disparity size must be 64 or 128 or 256";
  const std::string range = "output depth bits must be sufficient for representing output value";
  return {
      {"accepted", 64, 48, 128, 8, 16, params(true, 0), ""},
      {"min -200 accepted", 64, 48, 128, 8, 16, params(true, -200), ""},
      {"min 1800 fits unsigned", 64, 48, 256, 8, 16, params(true, 1800), ""},
      {"P2 at the 8-bit limit", 64, 48, 64, 8, 16, params(true, 0, 1, 1, 224), ""},
      {"input depth 12", 64, 48, 64, 12, 16, params(true, 0), src},
      {"input depth first", 64, 48, 100, 12, 12, params(true, 0), src},
      {"output depth 12", 64, 48, 100, 8, 12, params(true, 0), dst},
      {"disparity size 100", 0, 48, 100, 8, 16, params(true, 0, 7), size},
      {"8-bit subpixel D 64", 64, 48, 64, 8, 8, params(true, 0), range},
      {"minimum below signed range", 64, 48, 64, 8, 16, params(true, -2100), range},
      {"minimum near INT_MAX", 64, 48, 64, 8, 16, params(true, INT_MAX - 100), range},
      {"census mode 2", 0, 48, 64, 8, 16, params(true, 0, 2), "census mode must be 0 or 1"},
      {"path mode 2", 0, 48, 64, 8, 16, params(true, 0, 1, 2), "path mode must be 0 or 1"},
      {"width 0", 0, 48, 64, 8, 16, params(true, 0), "image width and height must be positive"},
      {"height -1", 64, -1, 64, 8, 16, params(true, 0), "image width and height must be positive"},
      {"P2 wraps 9x7 costs", 64, 48, 64, 8, 16, params(true, 0, 0, 1, 208),
       "P2 plus the census bits must not exceed 255"},
      {"P2 wraps symmetric costs", 64, 48, 64, 8, 16, params(true, 0, 1, 1, 225),
       "P2 plus the census bits must not exceed 255"},
  };
}

}  // namespace sgm_test
