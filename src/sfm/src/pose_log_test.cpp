#include "pose_log.h"

#include "front_end_test_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace sfm {
namespace {

TEST(PoseLog, WritesOneLinePerFrameWithItsRefinedFlag) {
  vmtest::TempDir dir;
  {
    PoseLog log(dir.path() / "sfm");
    log.append(3, "/data/a.jpg", 30.5, 114.3, 135.0, SE3(), true);
    log.append(4, "/data/b.jpg", 30.5, 114.3, 135.0, SE3(), false);
  }
  std::ifstream in(dir.path() / "sfm" / PoseLog::kFileName);
  std::string first, second;
  ASSERT_TRUE(std::getline(in, first) && std::getline(in, second));
  EXPECT_EQ(nlohmann::json::parse(first)["refined"], true);
  EXPECT_EQ(nlohmann::json::parse(second)["refined"], false);
  EXPECT_EQ(nlohmann::json::parse(second)["id"], 4);
}

// An earlier file, a link or a second name of another file at the file's name is replaced,
// never truncated or written through; a link on the way to the folder is refused.
TEST(PoseLog, NeverWritesThroughALinkOrASecondName) {
  vmtest::TempDir dir;
  const std::filesystem::path target = dir.path() / "precious.txt";
  std::ofstream(target) << "keep me";
  auto firstLine = [](const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
  };
  for (const char* kind : {"symbolic", "hard"}) {
    const std::filesystem::path folder = dir.path() / kind;
    std::filesystem::create_directories(folder);
    if (kind == std::string("symbolic")) {
      std::filesystem::create_symlink(target, folder / PoseLog::kFileName);
    } else {
      std::filesystem::create_hard_link(target, folder / PoseLog::kFileName);
    }
    {
      PoseLog log(folder);
      log.append(7, "/data/a.jpg", 30.5, 114.3, 135.0, SE3(), false);
    }
    EXPECT_EQ(firstLine(target), "keep me") << kind << " link: the target is untouched";
    EXPECT_EQ(nlohmann::json::parse(firstLine(folder / PoseLog::kFileName))["id"], 7) << kind;
    EXPECT_FALSE(std::filesystem::is_symlink(folder / PoseLog::kFileName));
  }

  // The work folder, or one above it, is a link planted to somewhere else.
  const std::filesystem::path outside = dir.path() / "outside";
  std::filesystem::create_directories(outside);
  std::filesystem::create_directories(dir.path() / "cache");
  std::filesystem::create_directory_symlink(outside, dir.path() / "cache" / "sfm");
  std::filesystem::create_directory_symlink(outside, dir.path() / "linked");
  for (const std::filesystem::path& folder :
       {dir.path() / "cache" / "sfm", dir.path() / "linked" / "sfm"}) {
    testing::CapturedLog captured;
    {
      PoseLog log(folder);
      log.append(0, "/data/a.jpg", 30.5, 114.3, 135.0, SE3(), false);
    }
    EXPECT_EQ(captured.count(fw::kLogError, {"pose file", "is a symbolic link"}), 1) << folder;
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing is written behind the link";
}

}  // namespace
}  // namespace sfm
