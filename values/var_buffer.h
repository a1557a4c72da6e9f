#pragma once

// A block of memory described by its size, shape and element format. The program creates
// no buffer value; the "buffer" class record and its methods exist all the same.

#include <cstdint>
#include <string>
#include <vector>

namespace sv {

struct VarBuffer {
  const void* data = nullptr;
  std::uint64_t size = 0;
  std::vector<std::int64_t> shape;
  std::string format;
};

}  // namespace sv
