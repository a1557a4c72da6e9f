#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

// One table of mutexes per zoom level, hashed on the tile column and row. A change of a tile
// (get, private copy, merge, set) runs under its tile's lock. Locks are taken finer to
// coarser and at most one per zoom, so two tiles sharing a slot never deadlock.
class TileLockTable {
 public:
  static constexpr int kZooms = 32;
  static constexpr size_t kSlotsPerZoom = 256;

  std::mutex& lockFor(int32_t x, int32_t y, int32_t z);

 private:
  std::array<std::array<std::mutex, kSlotsPerZoom>, kZooms> locks_;
};
