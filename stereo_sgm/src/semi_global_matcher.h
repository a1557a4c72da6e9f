#pragma once

#include "matcher_config.h"

#include <memory>

namespace sgm {

// Semi-global matching of a rectified pair on the current CUDA device. The constructor
// checks the configuration before touching the device (std::logic_error) and allocates the
// buffers of one image size; any CUDA failure throws std::runtime_error with the printed
// "[CUDA Error] ..." text, and no stage runs after it. One thread at a time.
class SemiGlobalMatcher {
 public:
  using Parameters = MatcherParameters;

  SemiGlobalMatcher(int width, int height, int disparity_size, int src_depth_bits,
                    int dst_depth_bits, int execute_mode, const Parameters& params = {});
  virtual ~SemiGlobalMatcher();
  SemiGlobalMatcher(const SemiGlobalMatcher&) = delete;
  SemiGlobalMatcher& operator=(const SemiGlobalMatcher&) = delete;

  // Sources of the input depth and a destination of the output depth, packed rows; host or
  // device pointers as the execute mode says.
  void execute(const void* left, const void* right, void* dst);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sgm
