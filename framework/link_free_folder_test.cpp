// Folders reached without links: every step of a path is refused when it is a link, missing
// folders are made only on request, and files are only ever made new.
#include "framework/link_free_folder.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Missing = fw::LinkFreeFolder::Missing;

TEST(LinkFreeFolder, WalksThePathAndRefusesALinkAtAnyStep) {
  vmtest::TempDir dir, outside;
  std::string reason;
  // Missing folders are made only when asked.
  EXPECT_FALSE(fw::LinkFreeFolder::open((dir / "a/b").string(), Missing::kFail, reason).isOpen());
  const fw::LinkFreeFolder made =
      fw::LinkFreeFolder::open((dir / "a/./b/").string(), Missing::kCreate, reason);
  ASSERT_TRUE(made.isOpen()) << reason;
  EXPECT_TRUE(fs::is_directory(dir / "a/b"));

  // A link as the folder itself, above it, or dangling where a folder would be made.
  fs::create_directory_symlink(outside.path(), dir / "a/link");
  fs::create_symlink(outside / "nothing", dir / "a/dangling");
  for (const fs::path& path : {dir / "a/link", dir / "a/link/deeper", dir / "a/dangling/new"}) {
    for (Missing missing : {Missing::kFail, Missing::kCreate}) {
      reason.clear();
      EXPECT_FALSE(fw::LinkFreeFolder::open(path.string(), missing, reason).isOpen()) << path;
      EXPECT_NE(reason.find(" is a symbolic link: files are never written through a link"),
                std::string::npos)
          << reason;
    }
  }
  EXPECT_TRUE(fs::is_empty(outside.path()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside / "nothing")));

  // A file where a folder should be.
  std::ofstream(dir / "a/file") << "x";
  EXPECT_FALSE(
      fw::LinkFreeFolder::open((dir / "a/file/below").string(), Missing::kCreate, reason).isOpen());
  EXPECT_NE(reason.find("a/file: Not a directory"), std::string::npos) << reason;
  EXPECT_FALSE(fw::LinkFreeFolder::open(std::string("a\0b", 3), Missing::kCreate, reason).isOpen());

  // A relative path starts at the working folder.
  const fs::path working = fs::current_path();
  fs::current_path(dir.path());
  const bool relative = fw::LinkFreeFolder::open("c/d", Missing::kCreate, reason).isOpen();
  fs::current_path(working);
  EXPECT_TRUE(relative && fs::is_directory(dir / "c/d")) << reason;
}

TEST(LinkFreeFolder, FilesAreMadeNewAndRenamedInPlace) {
  vmtest::TempDir dir, outside;
  std::string reason;
  const fw::LinkFreeFolder folder =
      fw::LinkFreeFolder::open(dir.path().string(), Missing::kFail, reason);
  ASSERT_TRUE(folder.isOpen());
  std::ofstream(outside / "precious") << "keep";
  fs::create_symlink(outside / "precious", dir / "link");
  fs::create_symlink(outside / "absent", dir / "dangling");
  fs::create_hard_link(outside / "precious", dir / "second");
  // Nothing that stands at a name is opened: not a link, not a second name, not a dangling
  // link (whose target would be created).
  for (const char* name : {"link", "dangling", "second"}) {
    EXPECT_TRUE(folder.has(name)) << name;
    EXPECT_LT(folder.createFile(name, reason), 0) << name;
  }
  EXPECT_NE(reason.find("second: File exists"), std::string::npos) << reason;
  EXPECT_FALSE(fs::exists(outside / "absent"));

  const int fd = folder.createFile("new", reason);
  ASSERT_GE(fd, 0) << reason;
  ASSERT_EQ(::write(fd, "made", 4), 4);
  ::close(fd);
  // Without replacing, a taken name stays as it is; with it, the name is replaced and the
  // file it named is untouched.
  EXPECT_FALSE(folder.rename("new", "second", /*replace=*/false, reason));
  EXPECT_TRUE(folder.rename("new", "second", /*replace=*/true, reason)) << reason;
  EXPECT_EQ(vmtest::readFile(dir / "second"), "made");
  EXPECT_EQ(vmtest::readFile(outside / "precious"), "keep");
  folder.remove("link");
  EXPECT_FALSE(folder.has("link"));
  EXPECT_TRUE(fs::exists(outside / "precious"));

  std::string parent, name;
  fw::splitFilePath("/home/job/log.txt", parent, name);
  EXPECT_EQ(parent + "|" + name, "/home/job|log.txt");
  fw::splitFilePath("/log.txt", parent, name);
  EXPECT_EQ(parent + "|" + name, "/|log.txt");
  fw::splitFilePath("log.txt", parent, name);
  EXPECT_EQ(parent + "|" + name, ".|log.txt");
  EXPECT_EQ(fw::temporaryNameOf("0.pnts"), "0.pnts." + std::to_string(::getpid()) + ".tmp");
}

}  // namespace
