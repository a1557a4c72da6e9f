#pragma once

#include "src/TerrainFusion/src/tile_lock_table.h"
#include "tiles/tile_manager.h"

#include <memory>
#include <mutex>

// The tile manager with the per-tile locks that every change of a tile runs under. A change
// works on a private copy and ends with SetTile; a tile in the cache is never written after
// that, so reads of a tile that is not being changed need no lock.
class TileAccess {
 public:
  // The lock table outlives this view; every writer of the manager's tiles uses the same one.
  TileAccess(std::shared_ptr<fw::TileManager> tiles, TileLockTable& locks);

  fw::TileManager& tiles() { return *tiles_; }
  std::mutex& lockFor(int32_t x, int32_t y, int32_t z) { return locks_.lockFor(x, y, z); }

  // A tile read only, for a neighbourhood. A tile whose stamp lies ahead of the clock (read
  // back from an earlier run's files) is put back stamped 0, so that trimming by age takes
  // it as old instead of stopping at it. Takes the tile's lock only in that case, so the
  // caller holds no lock of this zoom.
  std::shared_ptr<fw::TileBase> readTile(int32_t x, int32_t y, int32_t z);

 private:
  std::shared_ptr<fw::TileManager> tiles_;
  TileLockTable& locks_;
};
