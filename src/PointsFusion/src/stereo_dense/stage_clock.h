#pragma once

#include <chrono>

// Seconds from `start` to now on the steady clock, as the dense stages' log lines give a
// frame's time.
inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              start)
             .count() /
         1e9;
}
