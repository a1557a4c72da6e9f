#include "testsupport/temp_dir.h"
#include "tiles/atomic_file.h"
#include "tiles/mbtiles_test_support.h"
#include "tiles/png_codec.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_mbtiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace {

namespace stdfs = std::filesystem;
using mbtiles_test::query;
using store_test::makeTile;
using store_test::sameTile;
using Store = TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;

std::string rowsOf(const std::string& path) {
  std::string text;
  for (const auto& row :
       query(path, "SELECT zoom_level, tile_column, tile_row FROM tiles ORDER BY 1, 2, 3;")) {
    text += row[0] + "/" + row[1] + "/" + row[2] + " ";
  }
  return text;
}

std::string metadata(const std::string& path, const std::string& name) {
  const auto rows = query(path, "SELECT value FROM metadata WHERE name='" + name + "';");
  return rows.empty() ? "<none>" : rows[0][0];
}

std::string runTool(const std::string& command, const vmtest::TempDir& dir) {
  const std::string out = (dir / "tool.txt").string();
  if (std::system((command + " > " + out + " 2>&1").c_str()) != 0) return "<failed>";
  std::vector<uint8_t> text;
  tile_files::readWholeFile(out, text);
  return std::string(text.begin(), text.end());
}

bool haveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " > /dev/null").c_str()) == 0;
}

TEST(MbtilesStore, RowsCountFromTheSouthAndTilesReadBack) {
  vmtest::TempDir dir;
  const std::string folder = (dir / "t").string();
  auto tile = makeTile(3, 1, 2, 1, store_test::Weight::LeftHalf);
  {
    Store store(folder, "", "");
    EXPECT_EQ(store.type(), "TileManagerFileSystemMultiFileMbtiles");
    ASSERT_TRUE(store.SetTile(3, 1, 2, tile));
    auto read = store.GetTile(3, 1, 2);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(sameTile(*read, *tile));
    EXPECT_FALSE(std::dynamic_pointer_cast<fw::ImageTile>(read)->IsModified());
    EXPECT_EQ(store.GetTile(3, 2, 2), nullptr);
    for (sqlite3* db : {store.domDatabase(), store.dsmDatabase(), store.recordDatabase()}) {
      sqlite3_stmt* stmt = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &stmt, nullptr), SQLITE_OK);
      ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
      EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "delete");
      sqlite3_finalize(stmt);
    }
  }
  for (const char* name : {"/dom.mbtiles", "/dsm.mbtiles", "/tile.db"}) {
    EXPECT_EQ(rowsOf(folder + name), "2/3/2 ") << name;
    EXPECT_EQ(mbtiles_test::integrity(folder + name), "ok");
  }
  EXPECT_EQ(metadata(folder + "/dom.mbtiles", "format"), "png");
  EXPECT_EQ(metadata(folder + "/dsm.mbtiles", "name"), "dsm");
  EXPECT_EQ(metadata(folder + "/dsm.mbtiles", "format"), "tiff");
  EXPECT_TRUE(
      query(folder + "/tile.db", "SELECT * FROM sqlite_master WHERE name='metadata';").empty());
  // Closed databases are single files: the rollback journal is gone.
  EXPECT_EQ(std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()), 3);
}

TEST(MbtilesStore, MissingRowsOfATile) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  Store store((dir / "t").string(), "", "");
  ASSERT_TRUE(store.SetTile(0, 0, 3, makeTile(0, 0, 3, 1)));
  // No DSM row: the tile stays, without heights.
  ASSERT_EQ(sqlite3_exec(store.dsmDatabase(), "DELETE FROM tiles;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  auto tile = std::dynamic_pointer_cast<fw::ImageTile>(store.GetTile(0, 0, 3));
  ASSERT_NE(tile, nullptr);
  const cv::Mat heights = tile->GetElevation();
  ASSERT_EQ(heights.size(), cv::Size(64, 64));
  EXPECT_EQ(cv::countNonZero(heights != -1e9f), 0);

  // No image: record and DSM rows, no DOM row; reading it back finds no DOM row.
  auto full = makeTile(1, 0, 3, 2);
  auto imageless = std::make_shared<TerrainFusionMultiTile>(fw::GImage(), full->GetElevation(), 1,
                                                            0, 3, 1.0, full->GetWeight());
  EXPECT_TRUE(store.SetTile(1, 0, 3, imageless));
  EXPECT_EQ(store.GetTile(1, 0, 3), nullptr);
  EXPECT_EQ(log.count("step failed 101", fw::kLogError), 1u);

  // A DOM blob the codec did not write: logged with the key, absent.
  ASSERT_EQ(sqlite3_exec(store.domDatabase(), "UPDATE tiles SET tile_data = x'89504e470d0a1a0a00';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(store.GetTile(0, 0, 3), nullptr);
  EXPECT_EQ(log.count("x,y,z 0,0,3", fw::kLogError), 1u);
}

TEST(MbtilesStore, ZeroWeightGivesATransparentPngAndNoHeights) {
  vmtest::TempDir dir;
  Store store((dir / "t").string(), "", "");
  ASSERT_TRUE(store.SetTile(0, 0, 1, makeTile(0, 0, 1, 1, store_test::Weight::None)));
  const auto png = query(store.domDatabasePath(), "SELECT tile_data FROM tiles;");
  ASSERT_EQ(png.size(), 1u);
  std::vector<uint8_t> rgba;
  uint32_t w = 0, h = 0;
  int channels = 0;
  ASSERT_EQ(decodePng(reinterpret_cast<const uint8_t*>(png[0][0].data()), png[0][0].size(), rgba, w,
                      h, channels, 4),
            kPngDecoded);
  for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(rgba[i], 0);
  const cv::Mat heights =
      std::dynamic_pointer_cast<fw::ImageTile>(store.GetTile(0, 0, 1))->GetElevation();
  EXPECT_EQ(cv::countNonZero(heights != -1e9f), 0);
}

TEST(MbtilesStore, MetadataFromTheRange) {
  vmtest::TempDir dir;
  const std::string folder = (dir / "t").string();
  {
    Store store(folder, "", "");
    fw::TileRange r;
    r.level = 1;
    r.minX = r.minY = 0;
    r.maxX = r.maxY = 1;
    store.SetRange(r);
  }
  for (const char* name : {"/dom.mbtiles", "/dsm.mbtiles"}) {
    EXPECT_EQ(metadata(folder + name, "bounds"), "-180.000000,-85.051129,180.000000,85.051129");
    EXPECT_EQ(metadata(folder + name, "center"), "0.000000,0.000000");
    EXPECT_EQ(metadata(folder + name, "minzoom"), "0") << "never negative";
    EXPECT_EQ(metadata(folder + name, "maxzoom"), "1");
  }
  const std::string empty = (dir / "e").string();
  { Store store(empty, "", ""); }
  EXPECT_EQ(metadata(empty + "/dom.mbtiles", "bounds"), "<none>");
  EXPECT_EQ(metadata(empty + "/dom.mbtiles", "center"), "<none>");
  EXPECT_EQ(metadata(empty + "/dom.mbtiles", "maxzoom"), "0");
}

TEST(MbtilesStore, DatabaseLocations) {
  vmtest::TempDir dir;
  Store store((dir / "t").string(), (dir / "d/products.mbtiles").string(), (dir / "s").string());
  EXPECT_EQ(store.domDatabasePath(), (dir / "d/dom.mbtiles").string());
  EXPECT_EQ(store.dsmDatabasePath(), (dir / "s/dsm.mbtiles").string());
  EXPECT_EQ(store.recordDatabasePath(), (dir / "t/tile.db").string());
  for (const auto& p :
       {store.domDatabasePath(), store.dsmDatabasePath(), store.recordDatabasePath()}) {
    EXPECT_TRUE(stdfs::is_regular_file(p)) << p;
  }
}

TEST(MbtilesStore, AnExistingDatabaseIsNeverOpenedOrOverwritten) {
  vmtest::TempDir dir;
  const std::string folder = (dir / "t").string();
  stdfs::create_directories(folder);
  std::string error;
  ASSERT_TRUE(tile_files::writeFileAtomically(folder + "/tile.db", "earlier", 7, error));
  store_test::LogCapture log;
  {
    Store store(folder, "", "");
    EXPECT_EQ(
        log.count(
            folder + "/tile.db already exists; nothing will be stored. Remove it or choose another "
                     "folder.",
            fw::kLogError),
        1u);
    EXPECT_FALSE(store.SetTile(0, 0, 1, makeTile(0, 0, 1, 1)));
    EXPECT_EQ(store.GetTile(0, 0, 1), nullptr);
    EXPECT_EQ(store.SetTilesInTransaction({makeTile(0, 0, 1, 1)}), std::vector<bool>{false});
  }
  EXPECT_FALSE(stdfs::exists(folder + "/dom.mbtiles"));
  EXPECT_FALSE(stdfs::exists(folder + "/dsm.mbtiles"));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(tile_files::readWholeFile(folder + "/tile.db", bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "earlier");
}

TEST(MbtilesStore, ADanglingLinkInPlaceOfADatabaseIsNotFollowed) {
  vmtest::TempDir dir;
  const stdfs::path folder = dir / "t", outside = dir / "outside.mbtiles";
  stdfs::create_directories(folder);
  stdfs::create_symlink(outside, folder / "tile.db");
  store_test::LogCapture log;
  {
    Store store(folder.string(), "", "");
    EXPECT_FALSE(store.SetTile(0, 0, 1, makeTile(0, 0, 1, 1)));
  }
  EXPECT_FALSE(stdfs::exists(outside)) << "the database was created at the link's target";
  EXPECT_GE(log.count("tile.db already exists", fw::kLogError), 1u);
}

// A database is made whole or not at all: under a file-size limit smaller than a database no
// file without tables is left, and the store says why. A folder reached through a link is
// never entered.
TEST(MbtilesStore, DatabasesAreMadeWholeOrNotAtAll) {
  vmtest::TempDir dir, outside;
  const std::string folder = (dir / "t").string();
  store_test::LogCapture log;
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string reason;
  {
    Store store(folder, "", "");
    reason = store.creationError();
    EXPECT_EQ(store.domDatabase(), nullptr);
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_NE(reason.find("Can't create dom mbtiles file " + folder + "/dom.mbtiles"),
            std::string::npos)
      << reason;
  EXPECT_NE(reason.find("a file-size limit was reached"), std::string::npos) << reason;
  for (const auto& entry : stdfs::directory_iterator(folder))
    ADD_FAILURE() << "left behind: " << entry.path();

  stdfs::create_directory_symlink(outside.path(), dir / "link");
  try {
    Store linked((dir / "link/t").string(), "", "");
    ADD_FAILURE() << "a store was made behind a link";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find((dir / "link").string() + " is a symbolic link"),
              std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(stdfs::is_empty(outside.path()));
}

int countCommit(void* count) {
  ++*static_cast<int*>(count);
  return 0;
}

// A store whose record, DOM and DSM databases count their commits. The counts are declared
// before the store so that they outlive it: closing the store writes the metadata, which
// commits too.
struct CommitCountingStore {
  vmtest::TempDir dir;
  int commits[3] = {0, 0, 0};
  std::shared_ptr<Store> store = std::make_shared<Store>((dir / "t").string(), "", "");

  CommitCountingStore() {
    sqlite3_commit_hook(store->recordDatabase(), countCommit, &commits[0]);
    sqlite3_commit_hook(store->domDatabase(), countCommit, &commits[1]);
    sqlite3_commit_hook(store->dsmDatabase(), countCommit, &commits[2]);
  }

  // Tiles (i, y, 5) for i < n, made at 10 + i seconds, set into `cache`.
  static std::vector<std::shared_ptr<TerrainFusionMultiTile>> fill(TileManagerCachedGDAL& cache,
                                                                   int n, int y) {
    std::vector<std::shared_ptr<TerrainFusionMultiTile>> tiles;
    for (int i = 0; i < n; ++i) {
      tiles.push_back(makeTile(i, y, 5, i, store_test::Weight::Full, 10.0 + i));
      cache.SetTile(i, y, 5, tiles.back());
    }
    return tiles;
  }

  // Every tile of `tiles` (made by fill with row y) but the one at `skipped` reads back as set.
  void expectStored(const std::vector<std::shared_ptr<TerrainFusionMultiTile>>& tiles, int y,
                    int skipped) const {
    for (int i = 0; i < static_cast<int>(tiles.size()); ++i) {
      if (i == skipped) continue;
      auto read = store->GetTile(i, y, 5);
      ASSERT_NE(read, nullptr);
      EXPECT_TRUE(sameTile(*read, *tiles[i]));
    }
  }
};

TEST(MbtilesStore, BatchedFlushIsOneTransactionPerDatabaseAndNoSecondWrite) {
  CommitCountingStore counted;
  const int(&commits)[3] = counted.commits;
  std::vector<std::shared_ptr<TerrainFusionMultiTile>> tiles;
  {
    TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), counted.store, 100);
    tiles = CommitCountingStore::fill(cache, 10, 3);
    tiles[9]->SetModified(false);  // evicted but not written
    EXPECT_EQ(cache.flushTilesOlderThanToMbtiles(15.0), std::make_pair(5u, 5u));
    for (int c : commits) EXPECT_EQ(c, 1);
    EXPECT_EQ(cache.flushTilesOlderThanToMbtiles(100.0), std::make_pair(5u, 0u));
    for (int c : commits) EXPECT_EQ(c, 2);
    EXPECT_EQ(cache.flushTilesOlderThanToMbtiles(100.0), std::make_pair(0u, 0u));
    EXPECT_EQ(cache.writeBackFailures(), 0u);
  }
  for (int c : commits) EXPECT_EQ(c, 2) << "tiles the batch committed are not written again";
  EXPECT_EQ(query(counted.store->recordDatabasePath(), "SELECT count(*) FROM tiles;")[0][0], "9");
  counted.expectStored(tiles, 3, 9);
}

// Saving the cache at the end of a run writes its modified tiles as the flush does: one
// commit per database instead of one per tile (each commit waits for the disk).
TEST(MbtilesStore, SavingTheCacheIsOneTransactionPerDatabase) {
  CommitCountingStore counted;
  const int(&commits)[3] = counted.commits;
  TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), counted.store, 100);
  const auto tiles = CommitCountingStore::fill(cache, 12, 4);
  tiles[3]->SetModified(false);  // nothing to write
  cache.call("saveCache", nullptr);
  for (int c : commits) EXPECT_EQ(c, 1);
  for (const auto& tile : tiles) EXPECT_FALSE(tile->IsModified());
  EXPECT_EQ(query(counted.store->recordDatabasePath(), "SELECT count(*) FROM tiles;")[0][0], "11");
  counted.expectStored(tiles, 4, 3);
  cache.call("saveCache", nullptr);  // nothing modified since: nothing written
  for (int c : commits) EXPECT_EQ(c, 1);
  EXPECT_EQ(cache.writeBackFailures(), 0u);
}

// Writing through a cache of any size stores the same rows.
TEST(MbtilesStore, ProductsThroughACacheDoNotDependOnItsSizeOrPath) {
  vmtest::TempDir dir;
  const int n = 8;
  std::vector<std::shared_ptr<TerrainFusionMultiTile>> tiles;
  for (int i = 0; i < n; ++i)
    tiles.push_back(makeTile(i % 4, i / 4, 6, i, store_test::Weight::LeftHalf, i));
  std::vector<std::vector<std::string>> reference;
  int run = 0;
  for (uint32_t capacity : {1u, 100u}) {
    for (bool batched : {false, true}) {
      const std::string folder = (dir / std::to_string(run++)).string();
      auto store = std::make_shared<Store>(folder, "", "");
      {
        TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, capacity);
        for (const auto& tile : tiles) {
          const auto p = tile->GetPosition();
          cache.SetTile(p.x, p.y, p.z, tile);
          cache.GetTile(p.x, p.y, p.z);
          if (batched) cache.flushTilesOlderThanToMbtiles(p.x * 2.0);
        }
      }
      for (const auto& tile : tiles) {
        const auto p = tile->GetPosition();
        auto read = store->GetTile(p.x, p.y, p.z);
        ASSERT_NE(read, nullptr);
        EXPECT_TRUE(sameTile(*read, *tile));
      }
      store.reset();
      std::vector<std::string> blobs;
      for (const char* name : {"/tile.db", "/dom.mbtiles", "/dsm.mbtiles"}) {
        for (const auto& row : query(folder + name, "SELECT * FROM tiles ORDER BY 1, 2, 3;")) {
          blobs.insert(blobs.end(), row.begin(), row.end());
        }
      }
      if (reference.empty()) reference.push_back(blobs);
      EXPECT_EQ(blobs, reference[0]) << "capacity " << capacity << (batched ? " batched" : "");
    }
  }
}

TEST(MbtilesStore, GdalOpensTheDomWithItsBounds) {
  if (!haveTool("gdalinfo")) GTEST_SKIP() << "gdalinfo not installed";
  vmtest::TempDir dir;
  const std::string folder = (dir / "t").string();
  {
    TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(),
                                std::make_shared<Store>(folder, "", ""), 2);
    fw::TileRange r;
    r.level = 3;
    cache.SetRange(r);
    for (int x = 2; x <= 3; ++x) {
      for (int y = 1; y <= 2; ++y) cache.SetTile(x, y, 3, makeTile(x, y, 3, x + y));
    }
  }
  const std::string info = runTool("gdalinfo " + folder + "/dom.mbtiles", dir);
  EXPECT_NE(info.find("Driver: MBTiles"), std::string::npos) << info;
  EXPECT_NE(info.find("Size is 512, 512"), std::string::npos) << info;
  // Tiles x 2..3, y 1..2 of zoom 3: 90 W to 0, 79.17 N to 40.98 N.
  EXPECT_NE(info.find("Upper Left  (-10018754.171,15028131.470)"), std::string::npos) << info;
  EXPECT_NE(info.find("Lower Right (       0.000, 5009377.299)"), std::string::npos) << info;
  EXPECT_EQ(metadata(folder + "/dom.mbtiles", "bounds"), "-90.000000,40.979898,0.000000,79.171335");
}

TEST(MbtilesStore, DsmBlobsAreFloatTiffsOf64By64) {
  if (!haveTool("tiffinfo") || !haveTool("sqlite3"))
    GTEST_SKIP() << "tiffinfo or sqlite3 not installed";
  vmtest::TempDir dir;
  const std::string folder = (dir / "t").string();
  { Store(folder, "", "").SetTile(1, 1, 1, makeTile(1, 1, 1, 1)); }
  const std::string tiff = (dir / "blob.tiff").string();
  ASSERT_NE(runTool("sqlite3 " + folder + "/dsm.mbtiles \"SELECT writefile('" + tiff +
                        "', tile_data) FROM tiles WHERE tile_row=0;\"",
                    dir),
            "<failed>");
  const std::string info = runTool("tiffinfo " + tiff, dir);
  EXPECT_NE(info.find("Image Width: 64 Image Length: 64"), std::string::npos) << info;
  EXPECT_NE(info.find("Bits/Sample: 32"), std::string::npos) << info;
  EXPECT_NE(info.find("IEEE floating point"), std::string::npos) << info;
}

}  // namespace
