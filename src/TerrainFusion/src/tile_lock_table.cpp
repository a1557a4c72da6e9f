#include "src/TerrainFusion/src/tile_lock_table.h"

std::mutex& TileLockTable::lockFor(int32_t x, int32_t y, int32_t z) {
  const auto ux = static_cast<uint64_t>(static_cast<uint32_t>(x));
  const auto uy = static_cast<uint64_t>(static_cast<uint32_t>(y));
  // Neighbouring tiles land in different slots; the mix spreads larger grids.
  uint64_t h = ux * 0x9E3779B97F4A7C15ull ^ (uy + 0x632BE59BD9B4E019ull + (ux << 6) + (ux >> 2));
  h ^= h >> 29;
  const int zoom = z < 0 ? 0 : (z >= kZooms ? kZooms - 1 : z);
  return locks_[static_cast<size_t>(zoom)][h % kSlotsPerZoom];
}
