// Where a run may write its products: links, second names, an earlier run's products and
// database paths SQLite cannot open are refused before any work; a run's own temporary files
// are removed at its end and nobody else's are.
#include "product_guard.h"
#include "chain_config.h"
#include "temporary_files.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The rebuilt task of a home with the default products (MBTiles) or tile files.
json rebuilt(const fs::path& home, int storage = 2) {
  json task = {{"home", home.string()},
               {"dataset", {{"live", true}}},
               {"dom", {{"tiling", {{"storage", storage}}}}},
               {"dsm", {{"tiling", {{"storage", storage}}}}}};
  std::ostringstream out;
  return rebuildTask(task, home, home / ".cache", out);
}

std::vector<std::string> refusals(const fs::path& home, int storage = 2) {
  return productRefusals(productPlan(rebuilt(home, storage)["chain"]), home.string());
}

bool mentions(const std::vector<std::string>& reasons, const std::string& part) {
  for (const std::string& r : reasons)
    if (r.find(part) != std::string::npos) return true;
  return false;
}

TEST(ProductGuard, AFreshHomeMayBeWritten) {
  vmtest::TempDir home;
  EXPECT_TRUE(refusals(home.path()).empty());
  EXPECT_TRUE(refusals(home.path(), 1).empty());
  const ProductPlan plan = productPlan(rebuilt(home.path())["chain"]);
  EXPECT_EQ(plan.databases,
            (std::vector<std::string>{(home / "dom/dom.mbtiles").string(),
                                      (home / "dsm/dsm.mbtiles").string(),
                                      (home / ".cache/tf/tiles/tile.db").string()}));
  // Tile files have no databases.
  EXPECT_TRUE(productPlan(rebuilt(home.path(), 1)["chain"]).databases.empty());
}

TEST(ProductGuard, LinksAtProductsOrTheirFoldersAreRefused) {
  vmtest::TempDir outside;
  // (The databases are the program tests' cases.)
  for (const char* product : {"dom/dom.mbtiles", "dense/tileset.json"}) {
    vmtest::TempDir home;
    const fs::path link = home / product;
    fs::create_directories(link.parent_path());
    // Dangling: the database would be created at the target, outside home.
    fs::create_symlink(outside / "created_here", link);
    const auto reasons = refusals(home.path());
    EXPECT_TRUE(mentions(reasons, link.string() + " is a symbolic link")) << product;
    // One reason for it: its folder holds nothing else.
    EXPECT_EQ(reasons.size(), 1u) << product;
  }
  vmtest::TempDir home;
  fs::create_directories(home / ".cache");
  fs::create_directory_symlink(outside.path(), home / ".cache/tf");
  EXPECT_TRUE(
      mentions(refusals(home.path()), (home / ".cache/tf").string() + " is a symbolic link"));
  EXPECT_TRUE(fs::is_empty(outside.path()));
}

// A link anywhere above a product is refused, outside home too (a home named through a link is
// resolved before this check), and so is a file where a product folder should be.
TEST(ProductGuard, LinksAboveAProductAndFilesInPlaceOfItsFolderAreRefused) {
  vmtest::TempDir base, outside;
  fs::create_directories(base / "real");
  fs::create_directory_symlink(base / "real", base / "linked");
  const fs::path home = base / "linked" / "home";
  fs::create_directories(home);
  EXPECT_TRUE(mentions(refusals(home), (base / "linked").string() + " is a symbolic link"));

  vmtest::TempDir plain;
  std::ofstream(plain / "dense") << "";
  json task = {{"home", plain.path().string()},
               {"dataset", {{"live", true}}},
               {"dom", {{"tiling", {{"location", (base / "linked/dom").string()}}}}}};
  std::ostringstream out;
  const json chain = rebuildTask(task, plain.path(), plain / ".cache", out)["chain"];
  const auto reasons = productRefusals(productPlan(chain), plain.path().string());
  EXPECT_TRUE(mentions(reasons, (plain / "dense").string() + " exists and is not a folder"));
  EXPECT_TRUE(mentions(reasons, (base / "linked").string() + " is a symbolic link"));
  EXPECT_EQ(reasons.size(), 2u);
}

TEST(ProductGuard, ASecondNameOfAnotherFileIsRefused) {
  vmtest::TempDir home, outside;
  std::ofstream(outside / "precious") << "keep";
  fs::create_directories(home / "dom");
  fs::create_hard_link(outside / "precious", home / "dom/dom.mbtiles");
  EXPECT_TRUE(mentions(refusals(home.path()), "dom.mbtiles has 2 names (hard links)"));
  EXPECT_EQ(vmtest::readFile(outside / "precious"), "keep");
}

TEST(ProductGuard, AnEarlierRunsProductsAreRefusedByName) {
  vmtest::TempDir home;
  fs::create_directories(home / "dom");
  std::ofstream(home / "dom/dom.mbtiles") << "db";
  auto reasons = refusals(home.path());
  EXPECT_TRUE(mentions(reasons, (home / "dom/dom.mbtiles").string() + " already exists"));
  // Tile files of an earlier run fill the product folders.
  vmtest::TempDir files;
  fs::create_directories(files / "dsm/18");
  EXPECT_TRUE(mentions(refusals(files.path(), 1),
                       (files / "dsm").string() + " already exists and is not empty"));
  // An empty folder is no product.
  vmtest::TempDir empty;
  fs::create_directories(empty / "dense");
  EXPECT_TRUE(refusals(empty.path()).empty());
}

TEST(ProductGuard, DatabasePathsLongerThanSqliteOpensAreRefused) {
  vmtest::TempDir base;
  // "/.cache/tf/tiles/tile.db" is the longest database name under home: 24 bytes.
  auto homeOf = [&](std::size_t databaseLength) {
    fs::path home = base.path();
    while (home.string().size() + 24 < databaseLength) {
      const std::size_t left = databaseLength - 24 - home.string().size();
      home /= std::string(std::min<std::size_t>(left - 1, 200), 'h');
    }
    fs::create_directories(home);
    return home;
  };
  const fs::path atLimit = homeOf(kSqlitePathLimit);
  ASSERT_EQ((atLimit / ".cache/tf/tiles/tile.db").string().size(), kSqlitePathLimit);
  EXPECT_TRUE(refusals(atLimit).empty());
  const fs::path over = homeOf(kSqlitePathLimit + 1);
  EXPECT_TRUE(mentions(refusals(over),
                       "tile.db is 505 bytes long: SQLite opens database files "
                       "by paths of at most 504 bytes"));
  // Tile files have no such limit.
  EXPECT_TRUE(refusals(over, 1).empty());
}

TEST(TemporaryFiles, OnlyThisProcessesFilesAreRemoved) {
  vmtest::TempDir home, elsewhere;
  const std::string own = "." + std::to_string(::getpid()) + ".tmp";
  fs::create_directories(home / "dense/7");
  std::ofstream(home / ("dense/7/0.pnts" + own)) << "half";
  std::ofstream(home / "dense/7/0.pnts.1.tmp") << "another process";
  std::ofstream(home / "dense/7/0.pnts") << "done";
  std::ofstream(elsewhere / ("x" + own)) << "behind a link";
  fs::create_directory_symlink(elsewhere.path(), home / "dense/link");
  EXPECT_EQ(removeOwnTemporaryFiles({home.path().string(), (home / "dense").string()}), 1);
  EXPECT_FALSE(fs::exists(home / ("dense/7/0.pnts" + own)));
  EXPECT_TRUE(fs::exists(home / "dense/7/0.pnts.1.tmp"));
  EXPECT_TRUE(fs::exists(home / "dense/7/0.pnts"));
  EXPECT_TRUE(fs::exists(elsewhere / ("x" + own)));
  // A folder named through a link is not walked either.
  EXPECT_EQ(removeOwnTemporaryFiles({(home / "dense/link").string()}), 0);
  EXPECT_TRUE(fs::exists(elsewhere / ("x" + own)));

  const json task = rebuilt(home.path());
  const std::vector<std::string> folders = taskFolders(task);
  EXPECT_NE(std::find(folders.begin(), folders.end(), home.path().string()), folders.end());
  EXPECT_NE(std::find(folders.begin(), folders.end(), (home / "dom").string()), folders.end());
}

}  // namespace
