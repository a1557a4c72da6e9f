#pragma once

#include "tiles/tile_manager_cached.h"

#include <cstdint>
#include <string>
#include <utility>

// The tile cache terrain fusion works through: the LRU cache with commands ("Export",
// "check_tile", "saveCache"), the mosaic export and eviction by age, singly or as one
// batched write into the MBTiles databases.
class TileManagerCachedGDAL : public fw::TileManagerCached {
 public:
  // {entries removed, entries left}
  using Eviction = std::pair<uint32_t, uint32_t>;

  // The wrapped store (may be null) takes the given projection.
  TileManagerCachedGDAL(const std::shared_ptr<fw::PureProjection>& projection,
                        std::shared_ptr<fw::TileManager> store, uint32_t capacity);

  // "Export": argument a std::string path, emptied on success. "check_tile": argument four
  // doubles x, y, z, t; the fourth becomes CheckTile's result. Others as the cache.
  void call(const std::string& command, void* arg) override;
  // By extension: "png" writes the mosaic, "tif" is accepted without writing anything.
  bool Export(const std::string& path) override;

  // The tile's time stamp when it is later than t (a tile that was already cached is then
  // written to the store), else 0.0.
  double CheckTile(int32_t x, int32_t y, int32_t z, double t);
  // Evicts from the least recent end while tiles are older than t (or null); each modified
  // tile is written back on its own.
  Eviction releaseTilesOlderThan(double t);
  // Evicts as releaseTilesOlderThan, writing the modified tiles into the MBTiles store in
  // one transaction per database. Tiles the batch did not commit, and every tile when the
  // store is another kind, are written back one by one.
  Eviction flushTilesOlderThanToMbtiles(double t);

  // Saving the cache writes its modified tiles into the MBTiles store in one transaction per
  // database, as flushTilesOlderThanToMbtiles does.

  // The DOM tiles of the finest zoom as one PNG image.
  bool ExportMosaic(const std::string& path);
  // The variable ExportMosaic reports its progress in (0 up to below 1) and that another
  // thread cancels it through by writing a negative value. The owner of the cache names its
  // own; until then the cache keeps one of its own. Not null; it must outlive the cache.
  void setExportProgress(double* progress) { exportProgress_ = progress; }

 private:
  double ownExportProgress_ = 0.0;
  double* exportProgress_ = &ownExportProgress_;

  // Whether the least recent entry is due for eviction by age: its tile is null or
  // older than t. Expects the cache lock held.
  bool backOlderThanLocked(double t) const;

 protected:
  // Into an MBTiles store, in one transaction per database.
  std::vector<bool> storeTogether(const std::vector<std::shared_ptr<fw::TileBase>>& tiles) override;
};
