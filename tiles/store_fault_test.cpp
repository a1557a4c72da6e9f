#include "testsupport/temp_dir.h"
#include "tiles/atomic_file.h"
#include "tiles/mbtiles_test_support.h"
#include "tiles/png_codec.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_blobs.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace stdfs = std::filesystem;
using mbtiles_test::query;
using store_test::makeTile;
using FileStore = TileManagerFileSystemMultiFile<TerrainFusionMultiTile>;
using MbtilesStore = TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;

const char* const kChildDir = "TILE_STORE_FAULT_DIR";

// ---- checks of what a store left on disk ----

bool recordReads(const std::string& bytes) {
  std::istringstream in(bytes);
  TerrainFusionMultiTile tile;
  return tile.Read(in) && !tile.GetWeight().empty();
}

bool domDecodes(const std::string& bytes) {
  fw::GImage image;
  return tile_blobs::decodeDomPng(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                  image) &&
         image.cols == 256 && image.rows == 256;
}

bool dsmDecodes(const std::string& bytes) {
  fw::GImage heights;
  return tile_blobs::decodeDsmTiff(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                   heights) &&
         heights.cols == 64 && heights.rows == 64 && heights.type == CV_32FC1;
}

// Every tile file under the folder decodes; returns how many there are.
size_t checkTileFiles(const stdfs::path& folder) {
  size_t files = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(folder)) {
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".tile" && ext != ".png" && ext != ".tiff")) continue;
    std::vector<uint8_t> data;
    EXPECT_TRUE(tile_files::readWholeFile(e.path().string(), data));
    const std::string bytes(data.begin(), data.end());
    const bool ok = ext == ".tile"  ? recordReads(bytes)
                    : ext == ".png" ? domDecodes(bytes)
                                    : dsmDecodes(bytes);
    EXPECT_TRUE(ok) << e.path();
    ++files;
  }
  return files;
}

// The three databases pass integrity_check and every blob decodes; returns the tile rows.
size_t checkDatabases(const std::string& folder) {
  for (const char* name : {"/tile.db", "/dom.mbtiles", "/dsm.mbtiles"}) {
    EXPECT_EQ(mbtiles_test::integrity(folder + name), "ok") << name;
  }
  const auto records = query(folder + "/tile.db", "SELECT tile_data FROM tiles;");
  for (const auto& row : records) EXPECT_TRUE(recordReads(row[0]));
  for (const auto& row : query(folder + "/dom.mbtiles", "SELECT tile_data FROM tiles;")) {
    EXPECT_TRUE(domDecodes(row[0]));
  }
  for (const auto& row : query(folder + "/dsm.mbtiles", "SELECT tile_data FROM tiles;")) {
    EXPECT_TRUE(dsmDecodes(row[0]));
  }
  return records.size();
}

// ---- a second run of this program that plays the writer ----

// Starts this test program running only the named disabled test, with the folder in its
// environment.
pid_t startChild(const std::string& test, const std::string& folder) {
  const std::string self = stdfs::read_symlink("/proc/self/exe").string();
  const std::string filter = "--gtest_filter=StoreFaultChild.DISABLED_" + test;
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(kChildDir, folder.c_str(), 1);
    execl(self.c_str(), self.c_str(), "--gtest_also_run_disabled_tests", filter.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int waitChild(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

std::string childFolder() {
  const char* folder = std::getenv(kChildDir);
  return folder ? folder : "";
}

void markProgress(const std::string& folder, int batches) {
  std::string error;
  const std::string text = std::to_string(batches);
  tile_files::writeFileAtomically(folder + "/progress", text.data(), text.size(), error);
}

int progressOf(const std::string& folder) {
  std::vector<uint8_t> text;
  if (!tile_files::readWholeFile(folder + "/progress", text) || text.empty()) return 0;
  return std::atoi(std::string(text.begin(), text.end()).c_str());
}

// Set once the writer has finished enough batches: the next row written inside a
// transaction kills the writer, so the kill always lands in the middle of one.
std::atomic<bool> g_killInsideNextTransaction{false};

void killInsideTransaction(void* db, int, const char*, const char*, sqlite3_int64) {
  if (g_killInsideNextTransaction.load() &&
      sqlite3_get_autocommit(static_cast<sqlite3*>(db)) == 0) {
    raise(SIGKILL);
  }
}

// Installed on every connection the writer opens.
int watchConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_update_hook(db, killInsideTransaction, db);
  return SQLITE_OK;
}

// Writes batches through both kinds of store until it kills itself inside a transaction.
TEST(StoreFaultChild, DISABLED_WriteBatchesUntilKilled) {
  const std::string folder = childFolder();
  ASSERT_FALSE(folder.empty());
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(watchConnection));
  auto mbtiles = std::make_shared<MbtilesStore>(folder + "/mb", "", "");
  TileManagerCachedGDAL toMbtiles(fw::TileManager::defaultProjection(), mbtiles, 8);
  TileManagerCachedGDAL toFiles(fw::TileManager::defaultProjection(),
                                std::make_shared<FileStore>(folder + "/files", "", ""), 4);
  // Bounded, so that a writer the hook never stops ends and fails the parent's check.
  for (int i = 0; i < 4096; ++i) {
    auto tile = makeTile(i % 32, (i / 32) % 8, 8, i, store_test::Weight::LeftHalf, i);
    toMbtiles.SetTile(i % 32, (i / 32) % 8, 8, tile);
    toFiles.SetTile(i % 32, (i / 32) % 8, 8, tile);
    if (i % 16 == 15) {
      toMbtiles.flushTilesOlderThanToMbtiles(i - 2.0);
      markProgress(folder, i / 16 + 1);
      if (i / 16 + 1 >= 3) g_killInsideNextTransaction.store(true);
    }
  }
}

TEST(StoreFault, AKillInTheMiddleOfATransactionLeavesConsistentProducts) {
  vmtest::TempDir dir;
  const std::string folder = dir.path().string();
  const pid_t child = startChild("WriteBatchesUntilKilled", folder);
  ASSERT_GT(child, 0);
  const int status = waitChild(child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the writer ended on its own: " << status;
  ASSERT_GE(progressOf(folder), 3);
  // The kill left a hot journal, which the next opener rolls back.
  int journals = 0;
  for (const char* name : {"/tile.db-journal", "/dom.mbtiles-journal", "/dsm.mbtiles-journal"}) {
    journals += stdfs::exists(folder + "/mb" + name);
  }
  EXPECT_GE(journals, 1);
  EXPECT_GE(checkDatabases(folder + "/mb"), 32u);
  EXPECT_GT(checkTileFiles(folder + "/files"), 0u);
}

// ---- a full disk ----

void limitPages(sqlite3* db, int pages) {
  const std::string sql = "PRAGMA max_page_count = " + std::to_string(pages) + ";";
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST(StoreFault, AFullDatabaseGivesLoggedErrorsAndFalse) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  const std::string folder = (dir / "mb").string();
  auto store = std::make_shared<MbtilesStore>(folder, "", "");
  limitPages(store->domDatabase(), 300);  // about four tiles of noise
  int stored = 0;
  while (stored < 20 && store->SetTile(stored, 0, 5, makeTile(stored, 0, 5, stored))) ++stored;
  EXPECT_LT(stored, 20);
  EXPECT_GT(stored, 0);
  EXPECT_GE(log.count("database or disk is full", fw::kLogError), 1u);
  auto first = store->GetTile(0, 0, 5);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(store_test::sameTile(*first, *makeTile(0, 0, 5, 0)));

  // The batched flush on a full database: nothing is reported stored, the holders try
  // again one by one, and what fails is counted; no transaction is left open.
  {
    TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, 16);
    for (int i = 0; i < 4; ++i) cache.SetTile(i, 1, 5, makeTile(i, 1, 5, 100 + i));
    EXPECT_EQ(cache.flushTilesOlderThanToMbtiles(1e9), std::make_pair(4u, 0u));
    EXPECT_EQ(cache.writeBackFailures(), 4u);
  }
  for (sqlite3* db : {store->recordDatabase(), store->domDatabase(), store->dsmDatabase()}) {
    EXPECT_NE(sqlite3_get_autocommit(db), 0);
  }
  store.reset();
  // The record of each refused tile stays behind without its DOM row (the tile reads as
  // absent): the one that filled the database, and the four of the batch.
  EXPECT_EQ(checkDatabases(folder), static_cast<size_t>(stored) + 5);
}

// Fills a small tmpfs of its own mount namespace with both kinds of store.
TEST(StoreFaultChild, DISABLED_FillASmallDisk) {
  const std::string folder = childFolder();
  ASSERT_FALSE(folder.empty());
  const std::string disk = folder + "/disk";
  stdfs::create_directories(disk);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    std::ofstream(folder + "/skipped") << "no private tmpfs mount here";
    GTEST_SKIP();
  }
  store_test::LogCapture log;
  {
    FileStore files(disk + "/files", "", "");
    int stored = 0;
    while (stored < 40 && files.SetTile(stored, 0, 5, makeTile(stored, 0, 5, stored))) ++stored;
    EXPECT_LT(stored, 40);
    EXPECT_GE(log.count("No space left on device", fw::kLogError), 1u);
    for (int i = 0; i < stored; ++i) {
      auto read = files.GetTile(i, 0, 5);
      ASSERT_NE(read, nullptr);
      EXPECT_TRUE(store_test::sameTile(*read, *makeTile(i, 0, 5, i)));
    }
    checkTileFiles(disk + "/files");
  }
  stdfs::remove_all(disk + "/files");
  {
    auto store = std::make_shared<MbtilesStore>(disk + "/mb", "", "");
    TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, 2);
    for (int i = 0; i < 12; ++i) {
      cache.SetTile(i, 0, 5, makeTile(i, 0, 5, i));
      if (i % 3 == 2) cache.flushTilesOlderThanToMbtiles(1e9);
    }
    EXPECT_GT(cache.writeBackFailures(), 0u);
  }
  checkDatabases(disk + "/mb");
}

TEST(StoreFault, AFullDiskGivesLoggedErrorsAndFalse) {
  vmtest::TempDir dir;
  const pid_t child = startChild("FillASmallDisk", dir.path().string());
  ASSERT_GT(child, 0);
  const int status = waitChild(child);
  if (stdfs::exists(dir / "skipped")) GTEST_SKIP() << "a private tmpfs cannot be mounted here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the writer's checks failed: " << status;
}

}  // namespace
