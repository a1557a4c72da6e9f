#include "tiles/tile_manager_mbtiles.h"

#include "framework/link_free_folder.h"
#include "framework/log.h"
#include "framework/projection.h"
#include "tiles/png_codec.h"
#include "tiles/store_images.h"
#include "tiles/tile_blobs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

namespace stdfs = std::filesystem;

const char* const kInsertTile =
    "INSERT OR REPLACE INTO tiles (zoom_level, tile_column, tile_row, tile_data) VALUES (?, ?, ?, "
    "?);";
const char* const kSelectTile =
    "SELECT tile_data FROM tiles WHERE zoom_level=? AND tile_column=? AND tile_row=?;";
const char* const kStore = "TileManagerFileSystemMultiFileMbtiles - ";

// A prepared statement finalized when it goes.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt); }
  int prepare(sqlite3* db, const char* sql) {
    if (!db) return SQLITE_MISUSE;
    return sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  }
};

// The MBTiles row of tile row y: rows count from the south.
int32_t mbtilesRow(int32_t y, int32_t z) {
  return static_cast<int32_t>(std::pow(2.0, z) - 1.0 - y);
}

// SQLite's message, with the system's reason when a system call failed ("disk I/O error" says
// nothing of a full disk or a file-size limit).
std::string errorOf(sqlite3* db) {
  if (!db) return "the database is not open";
  std::string message = sqlite3_errmsg(db);
  const int system = sqlite3_system_errno(db);
  if (system != 0) {
    message += std::string(" (") + std::strerror(system) + ")";
  } else if (sqlite3_extended_errcode(db) == SQLITE_IOERR_WRITE) {
    // A write that stopped short sets no system error.
    message += " (a write was cut short: the disk is full or a file-size limit was reached)";
  }
  return message;
}

bool exec(sqlite3* db, const std::string& sql, std::string& error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return true;
  error = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return false;
}

// Binds (z, x, row, bytes), steps and resets; the step's result code.
int insertRow(sqlite3_stmt* stmt, int32_t z, int32_t x, int32_t row, const void* data,
              size_t size) {
  sqlite3_bind_int(stmt, 1, z);
  sqlite3_bind_int(stmt, 2, x);
  sqlite3_bind_int(stmt, 3, row);
  sqlite3_bind_blob64(stmt, 4, data, size, SQLITE_STATIC);
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

// Reads the tile_data of one row into blob: SQLITE_ROW when found, SQLITE_DONE when the row
// is missing, an error code otherwise (prepareFailed tells the two error kinds apart).
int selectBlob(sqlite3* db, int32_t z, int32_t x, int32_t row, std::vector<uint8_t>& blob,
               bool& prepareFailed) {
  blob.clear();
  Statement select;
  int rc = select.prepare(db, kSelectTile);
  prepareFailed = rc != SQLITE_OK;
  if (prepareFailed) return rc;
  sqlite3_bind_int(select.stmt, 1, z);
  sqlite3_bind_int(select.stmt, 2, x);
  sqlite3_bind_int(select.stmt, 3, row);
  rc = sqlite3_step(select.stmt);
  if (rc == SQLITE_ROW) {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(select.stmt, 0));
    const int size = sqlite3_column_bytes(select.stmt, 0);
    if (data && size > 0) blob.assign(data, data + size);
  }
  return rc;
}

bool inTransaction(sqlite3* db) { return db && sqlite3_get_autocommit(db) == 0; }

void rollback(sqlite3* db) {
  std::string error;
  if (inTransaction(db) && !exec(db, "ROLLBACK;", error)) {
    FW_LOG(fw::kLogError) << "Failed to roll back transaction: " << error;
  }
}

std::string degrees(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", v);
  return text;
}

std::string databaseFolder(const std::string& location, const std::string& tilesFolder) {
  stdfs::path folder = stdfs::u8path(location.empty() ? tilesFolder : location);
  if (folder.extension() == ".mbtiles") folder = folder.parent_path();
  return folder.u8string();
}

// Opens a database file by path, never through a link (SQLite checks every step of the path).
int openDatabase(const std::string& path, int flags, sqlite3** db) {
  return sqlite3_open_v2(path.c_str(), db, flags | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                         nullptr);
}

// The identity of a file in a folder, without following a link.
bool fileIdentity(const fw::LinkFreeFolder& folder, const std::string& name, struct stat& info) {
  return ::fstatat(folder.descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info.st_mode);
}

}  // namespace

template <typename Tile>
struct TileManagerFileSystemMultiFileMbtiles<Tile>::Statements {
  Statement record, dom, dsm;
};

template <typename Tile>
TileManagerFileSystemMultiFileMbtiles<Tile>::TileManagerFileSystemMultiFileMbtiles(
    const std::string& tilesFolder, const std::string& domLocation, const std::string& dsmLocation)
    : fw::TileManagerFileSystem<Tile>(tilesFolder), domPath_(domLocation), dsmPath_(dsmLocation) {
  const std::string domFolder = databaseFolder(domLocation, tilesFolder);
  const std::string dsmFolder = databaseFolder(dsmLocation, tilesFolder);
  fw::makeStoreFolder(domFolder);
  fw::makeStoreFolder(dsmFolder);
  fw::makeStoreFolder(tilesFolder);
  recordPath_ = tilesFolder + "/tile.db";
  domPath_ = (stdfs::u8path(domFolder) / "dom.mbtiles").u8string();
  dsmPath_ = (stdfs::u8path(dsmFolder) / "dsm.mbtiles").u8string();

  // Earlier products are never opened or overwritten.
  for (const std::string* path : {&domPath_, &dsmPath_, &recordPath_}) {
    std::error_code ec;
    if (stdfs::exists(stdfs::symlink_status(stdfs::u8path(*path), ec))) {
      creationError_ = "database " + *path + " already exists";
      FW_LOG(fw::kLogError) << kStore << creationError_
                            << "; nothing will be stored. Remove it or choose another folder.";
    }
  }
  if (!creationError_.empty()) return;
  if (!CrateMbtilesDatabase(domPath_, &dom_, "dom", "png")) {
    creationError_ = "Can't create dom mbtiles file " + domPath_ + ": " + creationError_;
  } else if (!CrateMbtilesDatabase(dsmPath_, &dsm_, "dsm", "tiff")) {
    creationError_ = "Can't create dsm mbtiles file " + dsmPath_ + ": " + creationError_;
  } else if (!CrateMbtilesDatabase(recordPath_, &record_, "", "")) {
    creationError_ = "Can't create tile dabase file " + recordPath_ + ": " + creationError_;
  }
  if (!creationError_.empty()) FW_LOG(fw::kLogError) << kStore << creationError_;
}

template <typename Tile>
bool TileManagerFileSystemMultiFileMbtiles<Tile>::CrateMbtilesDatabase(const std::string& path,
                                                                       sqlite3** db,
                                                                       const std::string& name,
                                                                       const std::string& format) {
  const std::string where = std::string(kStore) + "CrateMbtilesDatabase: ";
  const auto refuse = [&](const std::string& reason) {
    creationError_ = reason;
    FW_LOG(fw::kLogError) << where << reason;
    return false;
  };
  std::string folderPath, fileName, reason;
  fw::splitFilePath(path, folderPath, fileName);
  // SQLite opens by path: the folders on the way are checked for links first (and SQLite
  // refuses a link anywhere in the path when it opens).
  const fw::LinkFreeFolder folder =
      fw::LinkFreeFolder::open(folderPath, fw::LinkFreeFolder::Missing::kFail, reason);
  if (!folder.isOpen()) return refuse("Can't open database: " + reason);
  if (folder.has(fileName)) {
    return refuse("file " + path + " already exists. Remove it or choose another folder.");
  }
  // The database is made whole under a temporary name and renamed into place only then: a
  // failure at any step (a full disk, a file-size limit) leaves no database without tables.
  const std::string temporary = fw::temporaryNameOf(fileName);
  const auto removeTemporary = [&] {
    folder.remove(temporary);
    folder.remove(temporary + "-journal");
  };
  removeTemporary();
  sqlite3* made = nullptr;
  std::string error;
  const auto fail = [&](const std::string& message) {
    if (made) {
      rollback(made);
      sqlite3_close(made);
    }
    removeTemporary();
    return refuse(message + error);
  };
  if (openDatabase(folder.pathOf(temporary), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &made) !=
      SQLITE_OK) {
    error = errorOf(made);
    return fail("Can't open database: ");
  }
  const bool schema =
      exec(made, "BEGIN TRANSACTION;", error) &&
      exec(made,
           "CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, "
           "tile_data blob);",
           error) &&
      exec(made,
           "CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON tiles (zoom_level, tile_column, "
           "tile_row);",
           error) &&
      (format.empty() ||
       (exec(made,
             "CREATE TABLE metadata (name text, value text);"
             "INSERT INTO metadata (name, value) VALUES ('name', '" +
                 name +
                 "');"
                 "INSERT INTO metadata (name, value) VALUES ('format', '" +
                 format + "');",
             error) &&
        exec(made, "CREATE UNIQUE INDEX IF NOT EXISTS metadata_name_index ON metadata (name);",
             error))) &&
      exec(made, "COMMIT;", error);
  if (!schema) {
    // With the system's reason: "disk I/O error" says nothing of a file-size limit.
    error = errorOf(made);
    return fail("SQL error: ");
  }
  const int closed = sqlite3_close(made);
  made = nullptr;
  struct stat madeFile {};
  if (closed != SQLITE_OK || !fileIdentity(folder, temporary, madeFile)) {
    error = "the new database could not be closed";
    return fail("SQL error: ");
  }
  if (!folder.rename(temporary, fileName, /*replace=*/false, error)) return fail("");
  // Opened again at its own name, so that its rollback journal lies beside it; it must still be
  // the file made above.
  struct stat placed {};
  if (openDatabase(path, SQLITE_OPEN_READWRITE, db) != SQLITE_OK ||
      !fileIdentity(folder, fileName, placed) || placed.st_ino != madeFile.st_ino ||
      placed.st_dev != madeFile.st_dev) {
    const std::string message = "Can't open database: " + errorOf(*db);
    sqlite3_close(*db);
    *db = nullptr;
    return refuse(message);
  }
  const std::string cacheSize = "PRAGMA cache_size = 20000;";
  if (!exec(*db, cacheSize, error))
    FW_LOG(fw::kLogWarning) << "Fail to adjust cache size: " << cacheSize;
  // A rollback journal that is deleted at each commit: a killed process leaves a hot
  // journal that the next opener rolls back, and a closed database is one plain file.
  // NORMAL syncs at the critical moments of a commit only.
  const std::string journal = "PRAGMA journal_mode=DELETE; PRAGMA synchronous=NORMAL;";
  if (!exec(*db, journal, error))
    FW_LOG(fw::kLogWarning) << "Fail to set journal mode: " << journal << " " << error;
  return true;
}

template <typename Tile>
TileManagerFileSystemMultiFileMbtiles<Tile>::~TileManagerFileSystemMultiFileMbtiles() {
  timings_.log();
  writeMetadata();
  for (sqlite3** db : {&dom_, &dsm_, &record_}) {
    if (*db && sqlite3_close(*db) != SQLITE_OK) {
      FW_LOG(fw::kLogError) << kStore << "Can't close database: " << errorOf(*db);
    }
    *db = nullptr;
  }
}

template <typename Tile>
void TileManagerFileSystemMultiFileMbtiles<Tile>::writeMetadata() {
  if (!dom_ || !dsm_) return;
  const fw::TileRange range = this->GetRange();
  const int64_t level = range.level;
  std::vector<std::pair<std::string, std::string>> rows;
  // Without a tile at the finest zoom the extent is the empty box: no bounds then.
  if (!range.empty()) {
    const double n = std::pow(2.0, static_cast<double>(level));
    const fw::LatLng northWest = fw::mapCornerPosition(range.minX, range.minY, n);
    const fw::LatLng southEast = fw::mapCornerPosition(range.maxX + 1.0, range.maxY + 1.0, n);
    const double west = northWest.lng, east = southEast.lng;
    const double north = northWest.lat, south = southEast.lat;
    rows.emplace_back("bounds", degrees(west) + "," + degrees(south) + "," + degrees(east) + "," +
                                    degrees(north));
    rows.emplace_back("center", degrees((west + east) / 2) + "," + degrees((south + north) / 2));
  }
  // The lowest zoom really written; GIS tools refuse a negative one.
  rows.emplace_back("minzoom", std::to_string(std::max<int64_t>(0, level - zoomsWritten_ + 1)));
  rows.emplace_back("maxzoom", std::to_string(level));
  for (sqlite3* db : {dom_, dsm_}) {
    // All rows of one database at one commit.
    std::string error;
    bool ok = exec(db, "BEGIN TRANSACTION;", error);
    if (ok) {
      Statement insert;
      ok = insert.prepare(db, "INSERT OR REPLACE INTO metadata (name, value) VALUES (?, ?)") ==
           SQLITE_OK;
      for (size_t i = 0; ok && i < rows.size(); ++i) {
        sqlite3_bind_text(insert.stmt, 1, rows[i].first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert.stmt, 2, rows[i].second.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(insert.stmt) == SQLITE_DONE;
        sqlite3_reset(insert.stmt);
      }
      if (!ok) error = errorOf(db);
    }
    ok = ok && exec(db, "COMMIT;", error);
    if (!ok) {
      FW_LOG(fw::kLogError) << kStore << "Can't write metadata: " << error;
      rollback(db);
    }
  }
}

template <typename Tile>
std::shared_ptr<fw::TileBase> TileManagerFileSystemMultiFileMbtiles<Tile>::GetTile(int32_t x,
                                                                                   int32_t y,
                                                                                   int32_t z) {
  std::lock_guard<std::mutex> lock(this->storeMutex_);
  const int32_t row = mbtilesRow(y, z);
  std::vector<uint8_t> record, blob;
  bool prepareFailed = false;
  int rc = selectBlob(record_, z, x, row, record, prepareFailed);
  if (prepareFailed) {
    FW_LOG(fw::kLogError) << kStore << "Can't prepare database";
    return nullptr;
  }
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE)
      FW_LOG(fw::kLogError) << kStore << "GetTile: step failed " << rc << ": " << errorOf(record_);
    return nullptr;
  }
  if (record.empty()) {
    FW_LOG(fw::kLogError) << kStore << "Can't read tile from database: " << x << ", " << row << ", "
                          << z;
    return nullptr;
  }

  const auto t0 = StoreTimings::Clock::now();
  rc = selectBlob(dom_, z, x, row, blob, prepareFailed);
  if (rc != SQLITE_ROW) {
    FW_LOG(fw::kLogError) << (prepareFailed ? "GetTile: prepare failed " : "step failed ") << rc
                          << "x,y,z" << x << "," << y << "," << z;
    return nullptr;
  }
  const auto t1 = StoreTimings::Clock::now();
  if (blob.empty()) return nullptr;
  fw::GImage image;
  if (!tile_blobs::decodeDomPng(blob.data(), blob.size(), image)) {
    FW_LOG(fw::kLogError) << kStore << "GetTile: Can't decode the dom png of tile x,y,z " << x
                          << "," << y << "," << z << "; the tile is treated as absent";
    return nullptr;
  }
  const auto t2 = StoreTimings::Clock::now();

  fw::GImage elevation;
  rc = selectBlob(dsm_, z, x, row, blob, prepareFailed);
  if (rc == SQLITE_DONE || (rc == SQLITE_ROW && blob.empty())) {
    // The heights are lost but the orthophoto is not: keep the tile, without heights.
    FW_LOG(fw::kLogWarning) << kStore << "GetTile: no dsm row for tile x,y,z " << x << "," << y
                            << "," << z << "; it has no heights";
    elevation = tile_blobs::noDataElevation();
  } else if (rc != SQLITE_ROW) {
    FW_LOG(fw::kLogError) << (prepareFailed ? "prepare failed " : "step failed ") << rc << "x,y,z"
                          << x << "," << y << "," << z;
    return nullptr;
  } else if (!tile_blobs::decodeDsmTiff(blob.data(), blob.size(), elevation)) {
    FW_LOG(fw::kLogError) << kStore << "GetTile: Can't decode the dsm tiff of tile x,y,z " << x
                          << "," << y << "," << z << "; the tile is treated as absent";
    return nullptr;
  }

  // The record restores position, time, weight and band stacks.
  auto tile = std::make_shared<Tile>(image, elevation);
  std::istringstream in(std::string(record.begin(), record.end()));
  if (!tile->Read(in)) {
    FW_LOG(fw::kLogError) << "Obtained buffer but can't load tile. compressed ";
    return nullptr;
  }
  const auto t3 = StoreTimings::Clock::now();
  timings_.addDomRead(StoreTimings::phases({t0, t1, t2, t3}));
  return tile;
}

template <typename Tile>
void TileManagerFileSystemMultiFileMbtiles<Tile>::countWritten(const ImageRows& rows, int32_t x,
                                                               int32_t y, int32_t z) {
  if (rows.dom) written_.dom(x, y, z);
  if (rows.dsm) written_.dsm(x, y, z);
}

template <typename Tile>
bool TileManagerFileSystemMultiFileMbtiles<Tile>::insertTile(const TerrainFusionMultiTile& tile,
                                                             int32_t x, int32_t y, int32_t z,
                                                             Statements& statements,
                                                             ImageRows& rows) {
  const int32_t row = mbtilesRow(y, z);
  std::ostringstream recordStream;
  if (!tile.Write(recordStream)) {
    FW_LOG(fw::kLogError) << "Can't serialize tile.";
    return false;
  }
  const std::string record = recordStream.str();
  const int rc = insertRow(statements.record.stmt, z, x, row, record.data(), record.size());
  if (rc != SQLITE_DONE) {
    FW_LOG(fw::kLogError) << "step failed " << rc << "x,y,z" << x << "," << y << "," << z << ": "
                          << errorOf(record_);
    return false;
  }
  // The image rows follow the record; a row that is not written leaves the tile without it.
  const std::string where = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z);
  auto insert = [&](Statement& statement, sqlite3* db, const char* name,
                    const std::vector<uint8_t>& bytes) {
    const int step = insertRow(statement.stmt, z, x, row, bytes.data(), bytes.size());
    if (step == SQLITE_DONE) return true;
    FW_LOG(fw::kLogError) << kStore << "SetTile: " << name << " row not written, step failed "
                          << step << " x,y,z " << where << ": " << errorOf(db);
    return false;
  };
  bool ok = true;
  if (!tile.GetImage().empty()) {
    rows.dom = store_images::putDom(tile, /*pngFlags=*/0, where, timings_, [&](const auto& png) {
      return insert(statements.dom, dom_, "dom", png);
    });
    ok = rows.dom && ok;
  }
  if (!tile.GetElevation().empty()) {
    rows.dsm = store_images::putDsm(tile, where, timings_, [&](const auto& tiff) {
      return insert(statements.dsm, dsm_, "dsm", tiff);
    });
    ok = rows.dsm && ok;
  }
  return ok;
}

template <typename Tile>
bool TileManagerFileSystemMultiFileMbtiles<Tile>::SetTile(
    int32_t x, int32_t y, int32_t z, const std::shared_ptr<fw::TileBase>& tile) {
  std::lock_guard<std::mutex> lock(this->storeMutex_);
  if (!tile) return false;
  const auto multi = store_images::multiTileOf(tile);
  if (!multi) return false;
  Statements statements;
  const std::pair<Statement*, sqlite3*> parts[] = {
      {&statements.record, record_}, {&statements.dom, dom_}, {&statements.dsm, dsm_}};
  for (const auto& part : parts) {
    const int rc = part.first->prepare(part.second, kInsertTile);
    if (rc != SQLITE_OK) {
      FW_LOG(fw::kLogError) << "prepare failed " << rc << "x,y,z" << x << "," << y << "," << z
                            << ": " << errorOf(part.second);
      return false;
    }
  }
  ImageRows rows;
  const bool ok = insertTile(*multi, x, y, z, statements, rows);
  countWritten(rows, x, y, z);
  return ok;
}

template <typename Tile>
std::vector<bool> TileManagerFileSystemMultiFileMbtiles<Tile>::SetTilesInTransaction(
    const std::vector<std::shared_ptr<fw::TileBase>>& tiles) {
  std::lock_guard<std::mutex> lock(this->storeMutex_);
  std::vector<bool> stored(tiles.size(), false);
  std::vector<ImageRows> rows(tiles.size());  // counted once committed
  sqlite3* const databases[] = {record_, dom_, dsm_};
  std::string error;
  for (sqlite3* db : databases) {
    if (!db || !exec(db, "BEGIN TRANSACTION;", error)) {
      FW_LOG(fw::kLogError) << "Failed to begin transaction: " << (db ? error : errorOf(db));
      for (sqlite3* begun : databases) rollback(begun);
      return stored;
    }
  }
  bool transactionLost = false;
  {
    Statements statements;
    const std::pair<Statement*, const char*> parts[] = {{&statements.record, "stmt_meta"},
                                                        {&statements.dom, "stmt_dom"},
                                                        {&statements.dsm, "stmt_dsm"}};
    for (size_t i = 0; i < 3; ++i) {
      if (parts[i].first->prepare(databases[i], kInsertTile) != SQLITE_OK) {
        FW_LOG(fw::kLogError) << "Failed to prepare " << parts[i].second << ": "
                              << errorOf(databases[i]);
        transactionLost = true;
        break;
      }
    }
    for (size_t i = 0; i < tiles.size() && !transactionLost; ++i) {
      auto multi = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tiles[i]);
      if (!multi || !multi->IsModified()) continue;
      const pi::Point3_<int32_t> p = multi->GetPosition();
      try {
        stored[i] = insertTile(*multi, p.x, p.y, p.z, statements, rows[i]);
      } catch (const std::exception& e) {
        FW_LOG(fw::kLogError) << "Failed to save tile: " << e.what();
        break;
      }
      // Some errors (a full disk among them) make SQLite roll the whole transaction back.
      if (!stored[i] && !(inTransaction(record_) && inTransaction(dom_) && inTransaction(dsm_))) {
        transactionLost = true;
      }
    }
  }
  if (transactionLost) {
    for (sqlite3* db : databases) rollback(db);
    std::fill(stored.begin(), stored.end(), false);
    return stored;
  }
  bool committed = true;
  for (sqlite3* db : databases) {
    if (!exec(db, "COMMIT;", error)) {
      FW_LOG(fw::kLogError) << "Failed to commit transaction: " << error;
      rollback(db);
      committed = false;
    }
  }
  if (!committed) {
    std::fill(stored.begin(), stored.end(), false);
    return stored;
  }
  for (size_t i = 0; i < tiles.size(); ++i) {
    if (!tiles[i]) continue;
    const auto image = std::dynamic_pointer_cast<fw::ImageTile>(tiles[i]);
    if (!image) continue;
    const pi::Point3_<int32_t> p = image->GetPosition();
    countWritten(rows[i], p.x, p.y, p.z);
  }
  return stored;
}

template class TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;
