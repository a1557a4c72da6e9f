#pragma once

#include <array>
#include <chrono>
#include <cstddef>
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

  // The times between successive points of an operation, then its whole span: N points give
  // one entry of N values.
  template <size_t N>
  static std::array<int64_t, N> phases(const Clock::time_point (&points)[N]) {
    static_assert(N >= 2, "an operation has a start and an end");
    std::array<int64_t, N> entry{};
    for (size_t i = 0; i + 1 < N; ++i) entry[i] = nanos(points[i], points[i + 1]);
    entry[N - 1] = nanos(points[0], points[N - 1]);
    return entry;
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
