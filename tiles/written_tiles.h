#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_set>

// Counts the DOM and DSM images a store has actually written, into the run's summary
// ("DOM tiles", "DSM tiles"): each tile once, however often the cache writes it back.
class WrittenTiles {
 public:
  void dom(int32_t x, int32_t y, int32_t z) { note(dom_, x, y, z, true); }
  void dsm(int32_t x, int32_t y, int32_t z) { note(dsm_, x, y, z, false); }
  // Tiles counted so far by this store.
  size_t domCount();
  size_t dsmCount();

 private:
  void note(std::unordered_set<uint64_t>& seen, int32_t x, int32_t y, int32_t z, bool dom);

  std::mutex mutex_;
  std::unordered_set<uint64_t> dom_;
  std::unordered_set<uint64_t> dsm_;
};
