#include "testsupport/temp_dir.h"
#include "tiles/atomic_file.h"
#include "tiles/png_codec.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace stdfs = std::filesystem;
using store_test::makeTile;
using store_test::sameTile;
using Store = TileManagerFileSystemMultiFile<TerrainFusionMultiTile>;

std::vector<stdfs::path> filesUnder(const stdfs::path& folder) {
  std::vector<stdfs::path> files;
  for (const auto& e : stdfs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  return files;
}

TEST(AtomicFile, WhatStandsAtTheTemporaryNameIsReplacedNotWrittenThrough) {
  vmtest::TempDir dir;
  const stdfs::path target = dir / "tile.png", elsewhere = dir / "elsewhere";
  const std::string temporary = target.string() + "." + std::to_string(::getpid()) + ".tmp";
  std::string error;
  ASSERT_TRUE(tile_files::writeFileAtomically(elsewhere.string(), "kept", 4, error));
  stdfs::create_symlink(elsewhere, temporary);
  ASSERT_TRUE(tile_files::writeFileAtomically(target.string(), "tile", 4, error)) << error;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(tile_files::readWholeFile(elsewhere.string(), bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "kept");
  ASSERT_TRUE(tile_files::readWholeFile(target.string(), bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tile");
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(temporary)));
}

TEST(FileStore, FilesFollowTheTilePathTemplateAndEmptyLocationsMeanTheTilesFolder) {
  vmtest::TempDir dir;
  const std::string t = (dir / "t").string(), d = (dir / "d").string(), s = (dir / "s").string();
  {
    Store store(t, d, s);
    EXPECT_EQ(store.type(), "TileManagerFileSystemMultiFile");
    EXPECT_TRUE(store.SetTile(5, 7, 3, makeTile(5, 7, 3, 1)));
  }
  EXPECT_TRUE(stdfs::is_regular_file(dir / "t/3/3_5_7.tile"));
  EXPECT_TRUE(stdfs::is_regular_file(dir / "d/3/3_5_7.png"));
  EXPECT_TRUE(stdfs::is_regular_file(dir / "s/3/3_5_7.tiff"));
  EXPECT_EQ(filesUnder(dir.path()).size(), 3u) << "no temporary file is left behind";

  Store shared(t + "2", "", "");
  EXPECT_TRUE(shared.SetTile(5, 7, 3, makeTile(5, 7, 3, 1)));
  EXPECT_EQ(shared.DomPath(5, 7, 3), t + "2/3/3_5_7.png");
  EXPECT_TRUE(stdfs::is_regular_file(shared.DsmPath(5, 7, 3)));
}

TEST(FileStore, TilesReadBackAsWrittenWithHeightsOnlyUnderWeight) {
  vmtest::TempDir dir;
  Store store((dir / "t").string(), (dir / "d").string(), (dir / "s").string());
  const auto full = makeTile(1, 2, 10, 1, store_test::Weight::Full, 12.5);
  const auto half = makeTile(2, 2, 10, 2, store_test::Weight::LeftHalf);
  const auto none = makeTile(3, 2, 10, 3, store_test::Weight::None);
  for (const auto& tile : {full, half, none}) {
    const auto p = tile->GetPosition();
    ASSERT_TRUE(store.SetTile(p.x, p.y, p.z, tile));
  }
  for (const auto& tile : {full, half, none}) {
    const auto p = tile->GetPosition();
    auto read = store.GetTile(p.x, p.y, p.z);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(sameTile(*read, *tile));
    EXPECT_FALSE(std::dynamic_pointer_cast<fw::ImageTile>(read)->IsModified());
  }
  // Zero weight: a fully transparent PNG.
  std::vector<uint8_t> png, rgba;
  ASSERT_TRUE(tile_files::readWholeFile(store.DomPath(3, 2, 10), png));
  uint32_t w = 0, h = 0;
  int channels = 0;
  ASSERT_EQ(decodePng(png.data(), png.size(), rgba, w, h, channels, 4), kPngDecoded);
  EXPECT_EQ(channels, 4);
  for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(rgba[i], 0);
  EXPECT_EQ(store.GetTile(9, 9, 10), nullptr);
}

TEST(FileStore, MissingOrBrokenFilesOfATile) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  Store store((dir / "t").string(), "", "");
  for (int x = 0; x < 4; ++x) ASSERT_TRUE(store.SetTile(x, 0, 4, makeTile(x, 0, 4, x)));

  // No DSM file: the tile stays, without heights.
  stdfs::remove(store.DsmPath(0, 0, 4));
  auto noHeights = std::dynamic_pointer_cast<fw::ImageTile>(store.GetTile(0, 0, 4));
  ASSERT_NE(noHeights, nullptr);
  const cv::Mat heights = noHeights->GetElevation();
  ASSERT_EQ(heights.size(), cv::Size(64, 64));
  EXPECT_EQ(cv::countNonZero(heights != -1e9f), 0);
  EXPECT_TRUE(store_test::sameRaster(noHeights->GetImage(), makeTile(0, 0, 4, 0)->GetImage()));

  // No DOM file, or no record: absent.
  stdfs::remove(store.DomPath(1, 0, 4));
  EXPECT_EQ(store.GetTile(1, 0, 4), nullptr);
  stdfs::remove(store.RecordPath(2, 0, 4));
  EXPECT_EQ(store.GetTile(2, 0, 4), nullptr);

  // A DOM file the codec did not write: logged with the key, absent.
  std::vector<uint8_t> foreign;
  cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)), foreign);
  std::string error;
  ASSERT_TRUE(tile_files::writeFileAtomically(store.DomPath(3, 0, 4), foreign.data(),
                                              foreign.size(), error));
  EXPECT_EQ(store.GetTile(3, 0, 4), nullptr);
  EXPECT_EQ(log.count("x,y,z 3,0,4", fw::kLogError), 1u);
}

TEST(FileStore, RefusedTilesAndTilesWithoutImage) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  {
    Store store((dir / "t").string(), "", "");
    EXPECT_FALSE(store.SetTile(0, 0, 1, nullptr));
    EXPECT_FALSE(store.SetTile(0, 0, 1, std::make_shared<fw::ImageTile>()));
    EXPECT_EQ(log.count("Can't cast tile to TerrainFusionMultiTile: ImageTile", fw::kLogError), 1u);

    // An image without a matching weight cannot be stored, and says so.
    auto noWeight = std::make_shared<TerrainFusionMultiTile>(makeTile(1, 0, 1, 1)->GetImage(),
                                                             fw::GImage(), 1, 0, 1);
    EXPECT_FALSE(store.SetTile(1, 0, 1, noWeight));
    EXPECT_EQ(log.count("Can't encode dom png file", fw::kLogError), 1u);

    // No image: record and DSM, no PNG; the tile does not read back.
    auto tile = makeTile(2, 0, 1, 2);
    auto imageless = std::make_shared<TerrainFusionMultiTile>(fw::GImage(), tile->GetElevation(), 2,
                                                              0, 1, 1.0, tile->GetWeight());
    EXPECT_TRUE(store.SetTile(2, 0, 1, imageless));
    EXPECT_FALSE(stdfs::exists(store.DomPath(2, 0, 1)));
    EXPECT_TRUE(stdfs::exists(store.DsmPath(2, 0, 1)));
    EXPECT_EQ(store.GetTile(2, 0, 1), nullptr);
  }
  EXPECT_EQ(log.count("dom write time", fw::kLogInfo), 0u);
  EXPECT_EQ(log.count("dem write time", fw::kLogInfo), 1u);
  EXPECT_EQ(log.count("WRITE XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX: 1 tiles", fw::kLogInfo), 1u);
}

TEST(FileStore, AnIdleStorePrintsNoTimings) {
  vmtest::TempDir dir;
  store_test::LogCapture log;
  { Store store((dir / "t").string(), "", ""); }
  EXPECT_EQ(log.count("time", fw::kLogInfo), 0u);
}

// Links planted while the run goes: a zoom folder or a product folder that became a link to
// somewhere else is refused with its reason; a second name of another file at a tile's name is
// replaced. Nothing outside the store's folders changes.
TEST(FileStore, LinksPlantedInTheFoldersAreNeverFollowed) {
  vmtest::TempDir dir, outside;
  const stdfs::path t = dir / "t", d = dir / "d", s = dir / "s";
  std::ofstream(outside / "precious", std::ios::binary) << "keep";
  store_test::LogCapture log;
  Store store(t.string(), d.string(), s.string());
  ASSERT_TRUE(store.SetTile(1, 2, 18, makeTile(1, 2, 18, 1)));
  stdfs::create_directory_symlink(outside.path(), d / "19");
  EXPECT_FALSE(store.SetTile(1, 2, 19, makeTile(1, 2, 19, 1)));
  EXPECT_EQ(log.count((d / "19").string() + " is a symbolic link", fw::kLogError), 1u);
  stdfs::remove(store.DomPath(1, 2, 18));
  stdfs::create_hard_link(outside / "precious", store.DomPath(1, 2, 18));
  EXPECT_TRUE(store.SetTile(1, 2, 18, makeTile(1, 2, 18, 2)));
  EXPECT_NE(store.GetTile(1, 2, 18), nullptr);
  // The DSM folder itself swapped for a link.
  stdfs::rename(s, dir / "moved");
  stdfs::create_directory_symlink(outside.path(), s);
  EXPECT_FALSE(store.SetTile(1, 2, 18, makeTile(1, 2, 18, 3)));
  EXPECT_EQ(log.count((s).string() + " is a symbolic link", fw::kLogError), 1u);

  std::vector<uint8_t> bytes;
  ASSERT_TRUE(tile_files::readWholeFile((outside / "precious").string(), bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "keep");
  EXPECT_EQ(filesUnder(outside.path()), std::vector<stdfs::path>{outside / "precious"});
}

TEST(FileStore, OneRecordPerFileStoreNeedsItsLevelFolder) {
  vmtest::TempDir dir;
  fw::TileManagerFileSystem<TerrainFusionMultiTile> store(dir.path().string());
  EXPECT_EQ(store.type(), "TileManagerFileSystem");
  auto tile = makeTile(3, 4, 5, 1);
  EXPECT_FALSE(store.SetTile(3, 4, 5, tile));
  stdfs::create_directories(dir / "5");
  EXPECT_TRUE(store.SetTile(3, 4, 5, tile));
  EXPECT_EQ(store.RecordPath(3, 4, 5), (dir / "5/5_3_4.tile").string());
  auto read = std::dynamic_pointer_cast<TerrainFusionMultiTile>(store.GetTile(3, 4, 5));
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(store_test::sameRaster(read->GetWeight(), tile->GetWeight()));
  EXPECT_TRUE(read->GetImage().empty());  // the record holds no image
  EXPECT_EQ(store.GetTile(0, 0, 5), nullptr);
}

// Writing through a cache of any size stores the same files.
TEST(FileStore, ProductsThroughACacheDoNotDependOnItsSize) {
  vmtest::TempDir dir;
  const int n = 12;
  std::vector<std::shared_ptr<TerrainFusionMultiTile>> tiles;
  for (int i = 0; i < n; ++i)
    tiles.push_back(makeTile(i % 4, i / 4, 6, i, store_test::Weight::LeftHalf));
  std::vector<std::vector<uint8_t>> reference;
  for (uint32_t capacity : {1u, 5u, 100u}) {
    const std::string folder = (dir / ("c" + std::to_string(capacity))).string();
    {
      TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(),
                                  std::make_shared<Store>(folder, "", ""), capacity);
      for (const auto& tile : tiles) {
        const auto p = tile->GetPosition();
        cache.SetTile(p.x, p.y, p.z, tile);
        cache.GetTile(p.x, p.y, p.z);
      }
      EXPECT_EQ(cache.writeBackFailures(), 0u);
    }
    Store store(folder, "", "");
    std::vector<std::vector<uint8_t>> bytes;
    for (const auto& tile : tiles) {
      const auto p = tile->GetPosition();
      auto read = store.GetTile(p.x, p.y, p.z);
      ASSERT_NE(read, nullptr);
      EXPECT_TRUE(sameTile(*read, *tile));
      for (const std::string& path : {store.RecordPath(p.x, p.y, p.z), store.DomPath(p.x, p.y, p.z),
                                      store.DsmPath(p.x, p.y, p.z)}) {
        bytes.emplace_back();
        ASSERT_TRUE(tile_files::readWholeFile(path, bytes.back()));
      }
    }
    if (reference.empty()) reference = bytes;
    EXPECT_EQ(bytes, reference) << "capacity " << capacity;
  }
}

}  // namespace
