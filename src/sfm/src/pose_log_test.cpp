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

TEST(PoseLog, RefusesASymbolicLinkInPlaceOfTheFile) {
  vmtest::TempDir dir;
  const std::filesystem::path target = dir.path() / "precious.txt";
  std::ofstream(target) << "keep me";
  std::filesystem::create_directories(dir.path() / "sfm");
  std::filesystem::create_symlink(target, dir.path() / "sfm" / PoseLog::kFileName);
  testing::CapturedLog captured;
  {
    PoseLog log(dir.path() / "sfm");
    log.append(0, "/data/a.jpg", 30.5, 114.3, 135.0, SE3(), false);
  }
  EXPECT_EQ(captured.count(fw::kLogError, {"pose file", "symbolic link"}), 1);
  std::ifstream in(target);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "keep me") << "the link's target is neither truncated nor written";
}

}  // namespace
}  // namespace sfm
