#pragma once

#include "tiles/store_timings.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/written_tiles.h"

#include <sqlite3.h>

#include <string>
#include <vector>

// The MBTiles store: per tile the DOM as an RGBA PNG in "dom.mbtiles", the DSM as a float
// TIFF in "dsm.mbtiles" and the tile's record in "tile.db", each in a table
// tiles (zoom_level, tile_column, tile_row, tile_data) whose rows count from the south
// (row = 2^z - 1 - y). The databases keep a rollback journal, so a process killed inside a
// transaction leaves them consistent. The store creates its databases and never opens or
// overwrites an existing one; when any of the three exists it stays without databases and
// every access fails with a logged error. Its destructor writes the MBTiles metadata.
template <typename Tile>
class TileManagerFileSystemMultiFileMbtiles : public fw::TileManagerFileSystem<Tile> {
 public:
  // An empty DOM or DSM location means the tiles folder; a location ending in ".mbtiles"
  // means its parent folder. Creates the folders (throws the filesystem library's error
  // when it cannot) and the three databases.
  TileManagerFileSystemMultiFileMbtiles(const std::string& tilesFolder,
                                        const std::string& domLocation,
                                        const std::string& dsmLocation);
  ~TileManagerFileSystemMultiFileMbtiles() override;

  std::string type() const override { return "TileManagerFileSystemMultiFileMbtiles"; }
  // The stored tile, or null when its record or DOM row is missing or does not decode. A
  // tile without a DSM row comes back with a 64 x 64 layer of -1e9 (no height).
  std::shared_ptr<fw::TileBase> GetTile(int32_t x, int32_t y, int32_t z) override;
  // True once the record, DOM and DSM rows (those the tile has images for) are written.
  bool SetTile(int32_t x, int32_t y, int32_t z, const std::shared_ptr<fw::TileBase>& tile) override;

  // Writes the modified tiles among `tiles`, each at the position it reports, in one
  // transaction per database. Returns per tile whether all of its rows were committed;
  // tiles that are not marked modified or not TerrainFusionMultiTile are left out (false).
  std::vector<bool> SetTilesInTransaction(const std::vector<std::shared_ptr<fw::TileBase>>& tiles);

  // Creates one new database with its tiles table (and metadata when format is not
  // empty), whole or not at all: it is made under a temporary name and renamed into place.
  // False, logged, when anything exists at the path, a folder on the way is a link, or a
  // step fails.
  bool CrateMbtilesDatabase(const std::string& path, sqlite3** db, const std::string& name,
                            const std::string& format);

  // Why the databases were not created; empty when they were.
  const std::string& creationError() const { return creationError_; }
  const std::string& domDatabasePath() const { return domPath_; }
  const std::string& dsmDatabasePath() const { return dsmPath_; }
  const std::string& recordDatabasePath() const { return recordPath_; }
  // The open connections (null when not created), for checks from outside the store.
  sqlite3* domDatabase() const { return dom_; }
  sqlite3* dsmDatabase() const { return dsm_; }
  sqlite3* recordDatabase() const { return record_; }
  // How many zooms the writer fills, the finest included (1 or more, default 6): the
  // metadata's "minzoom" is the lowest of them, at least 0. Set before tiles are written.
  void setZoomsWritten(int zooms) { zoomsWritten_ = zooms < 1 ? 1 : zooms; }
  // The DOM and DSM images this store has written (committed).
  WrittenTiles& written() { return written_; }

 private:
  struct Statements;
  // Which image rows of a tile went in.
  struct ImageRows {
    bool dom = false;
    bool dsm = false;
  };
  // Inserts the tile's rows through prepared statements; false, logged, when a row was not
  // written. Expects the store lock held.
  bool insertTile(const TerrainFusionMultiTile& tile, int32_t x, int32_t y, int32_t z,
                  Statements& statements, ImageRows& rows);
  void countWritten(const ImageRows& rows, int32_t x, int32_t y, int32_t z);
  void writeMetadata();

  sqlite3* dom_ = nullptr;
  sqlite3* dsm_ = nullptr;
  sqlite3* record_ = nullptr;
  std::string domPath_;
  std::string dsmPath_;
  std::string recordPath_;
  std::string creationError_;
  int zoomsWritten_ = 6;
  StoreTimings timings_;
  WrittenTiles written_;
};
