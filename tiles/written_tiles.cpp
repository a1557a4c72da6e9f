#include "tiles/written_tiles.h"

#include "framework/run_tally.h"

void WrittenTiles::note(std::unordered_set<uint64_t>& seen, int32_t x, int32_t y, int32_t z,
                        bool dom) {
  // Zooms up to 63 and columns and rows below 2^28 (zoom 28) each have their own key.
  const uint64_t key = (uint64_t(uint32_t(z) & 0x3Fu) << 56) |
                       (uint64_t(uint32_t(x) & 0x0FFFFFFFu) << 28) |
                       uint64_t(uint32_t(y) & 0x0FFFFFFFu);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!seen.insert(key).second) return;
  }
  fw::RunTally::instance().add(dom ? fw::tally::kDomTiles : fw::tally::kDsmTiles);
}

size_t WrittenTiles::domCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dom_.size();
}

size_t WrittenTiles::dsmCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dsm_.size();
}
