#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

// The time the stores spend writing and reading DOM and DSM images, printed as sums when a
// store closes. Each entry holds steady-clock nanoseconds.
class StoreTimings {
 public:
  using Clock = std::chrono::steady_clock;

  static int64_t nanos(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  }

  // merge, encode, write, total
  void addDomWrite(const std::array<int64_t, 4>& d) { domWrites_.push_back(d); }
  // encode, write, total
  void addDsmWrite(const std::array<int64_t, 3>& d) { dsmWrites_.push_back(d); }
  // read, decode, split, total
  void addDomRead(const std::array<int64_t, 4>& d) { domReads_.push_back(d); }

  // Logs one summary per list that has entries (information severity).
  void log() const;

 private:
  std::vector<std::array<int64_t, 4>> domWrites_;
  std::vector<std::array<int64_t, 3>> dsmWrites_;
  std::vector<std::array<int64_t, 4>> domReads_;
};
