// Faults of the point-cloud tiles node: a location that cannot be a folder, writes that
// fail at each step, payloads that do not fit. Nothing is thrown, each failure is logged
// with its path or frame, and the root on disk and in memory stays what it was.
#include "3dtiles.h"
#include "framework/captured_log_for_tests.h"
#include "pointcloud_reader_for_tests.h"

#include "framework/diy_frame.h"
#include "framework/messenger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <cmath>
#include <csignal>
#include <fstream>
#include <limits>

namespace {

namespace fs = std::filesystem;
using fwtest::CapturedLog;
using nlohmann::json;
using Positions = std::vector<pi::Point3_<float>>;
using Colours = std::vector<pi::Point3_<unsigned char>>;

std::shared_ptr<fw::MapFrame> frameAt(uint64_t id, const SE3& pose = SE3()) {
  auto frame = std::make_shared<MapFrame>(id, 0.0, fw::GImage(), "f.jpg",
                                          fw::Camera({640, 480, 500, 500, 320, 240}),
                                          std::vector<double>(), 1);
  frame->setPose(pose);
  return frame;
}

Positions gridPoints(size_t count, float offset = 0.f) {
  Positions points;
  for (size_t i = 0; i < count; ++i)
    points.emplace_back(offset + float(i % 10), float(i / 10), 100.f + float(i % 7));
  return points;
}

sv::Var payload(const std::shared_ptr<fw::MapFrame>& frame, const Positions& positions,
                size_t colourCount) {
  return sv::Var{sv::Var(frame), sv::Var(positions),
                 sv::Var(Colours(colourCount, pi::Point3_<unsigned char>(1, 2, 3)))};
}

std::shared_ptr<zel::OutputItem> recordOf(const zel::Node& node) {
  std::shared_ptr<zel::OutputItem> found;
  node.visitOutputs([&found](const std::shared_ptr<zel::OutputItem>& r) { found = r; });
  return found;
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PointCloudTilesFaults, LocationThatCannotBeAFolderLeavesTheNodeInertAndFailed) {
  vmtest::TempDir dir, outside;
  std::ofstream(dir / "file") << "x";
  // A link on the way counts as a folder that cannot be made: nothing goes through it.
  fs::create_directory_symlink(outside.path(), dir / "link");
  for (const fs::path& location : {dir / "file", dir / "file" / "below", dir / "link" / "dense"}) {
    CapturedLog log;
    zel::Chain mapper("Mapper", nullptr);
    PointCloudTiles tiles(location.string(), &mapper);
    EXPECT_TRUE(tiles.isInert());
    EXPECT_EQ(log.count(fw::kLogError, {"Failed to create directory: " + location.string()}), 1);
    // The task asked for a point cloud: the product that cannot be written fails the run.
    ASSERT_TRUE(recordOf(mapper));
    EXPECT_EQ(recordOf(mapper)->state, zel::kOutputFailed);
    // Neither the topic nor a direct call writes anything.
    fw::Messenger::instance().publish("sbt.out.pcd", payload(frameAt(1), gridPoints(200), 200));
    tiles.OnPointCloud(payload(frameAt(1), gridPoints(200), 200));
    EXPECT_EQ(fileText(dir / "file"), "x");
  }
  EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST(PointCloudTilesFaults, FailedWritesLeaveTheRootAsItWas) {
  vmtest::TempDir dir;
  const fs::path dense = dir / "dense";
  CapturedLog log;
  {
    zel::Chain mapper("Mapper", nullptr);
    PointCloudTiles tiles(dense.string(), &mapper);
    tiles.OnPointCloud(payload(frameAt(1), gridPoints(200), 200));
    const std::string firstRoot = fileText(dense / "tileset.json");
    const auto firstRecord = recordOf(mapper);
    ASSERT_EQ(firstRecord->state, zel::kOutputInProgress);

    // The frame folder's name is taken by a file.
    std::ofstream(dense / "2") << "taken";
    tiles.OnPointCloud(payload(frameAt(2), gridPoints(200, 500.f), 200));
    EXPECT_EQ(log.count(fw::kLogError, {"cannot create " + (dense / "2").string()}), 1);
    // A level cannot replace its file (a folder holds the name).
    fs::create_directories(dense / "3" / "4.pnts" / "inside");
    tiles.OnPointCloud(payload(frameAt(3), gridPoints(200, 500.f), 200));
    EXPECT_EQ(log.count(fw::kLogError, {"cannot write " + (dense / "3" / "4.pnts").string()}), 1);
    // The root cannot be replaced: everything of frame 4 but the root is written.
    fs::rename(dense / "tileset.json", dir / "saved.json");
    fs::create_directories(dense / "tileset.json" / "inside");
    tiles.OnPointCloud(payload(frameAt(4), gridPoints(200, 500.f), 200));
    EXPECT_TRUE(fs::exists(dense / "4" / "tileset.json"));
    EXPECT_EQ(log.count(fw::kLogError, {"cannot write " + (dense / "tileset.json").string()}), 1);
    fs::remove_all(dense / "tileset.json");
    fs::rename(dir / "saved.json", dense / "tileset.json");
    EXPECT_EQ(fileText(dense / "tileset.json"), firstRoot);
    EXPECT_FALSE(recordOf(mapper)->isNewerThan(*firstRecord)) << "no refresh without a write";

    // The next good frame joins frame 1 alone: the failed frames left no trace in the root.
    tiles.OnPointCloud(payload(frameAt(5), gridPoints(200), 200));
    const json root = json::parse(fileText(dense / "tileset.json"));
    ASSERT_EQ(root["root"]["children"].size(), 2u);
    EXPECT_EQ(root["root"]["children"][1]["content"]["uri"], "./5/tileset.json");
    const double reachX = root["root"]["boundingVolume"]["box"][3];
    EXPECT_LT(reachX, 10.0) << "the box does not include the failed frames at x = 500";
    EXPECT_TRUE(pointcloud_reader::readWithPy3dtiles(dense / "tileset.json").ok);
  }
  EXPECT_EQ(log.count(fw::kLogError, {"3 frame(s) could not be written"}), 1);
}

// Links planted while the run goes: a frame folder or the output folder turned into a link
// to somewhere else is refused with its reason, a second name of another file at a level's
// name is replaced; nothing outside the output folder changes and the record fails.
TEST(PointCloudTilesFaults, LinksPlantedDuringTheRunAreNeverFollowed) {
  vmtest::TempDir dir, outside;
  const fs::path dense = dir / "dense";
  std::ofstream(outside / "precious") << "keep";
  CapturedLog log;
  zel::Chain mapper("Mapper", nullptr);
  {
    PointCloudTiles tiles(dense.string(), &mapper);
    tiles.OnPointCloud(payload(frameAt(1), gridPoints(200), 200));
    fs::create_directory_symlink(outside.path(), dense / "2");
    tiles.OnPointCloud(payload(frameAt(2), gridPoints(200), 200));
    EXPECT_EQ(
        log.count(fw::kLogError, {"cannot create " + (dense / "2").string(), "is a symbolic link"}),
        1);
    fs::create_directories(dense / "3");
    fs::create_hard_link(outside / "precious", dense / "3" / "0.pnts");
    tiles.OnPointCloud(payload(frameAt(3), gridPoints(200), 200));
    EXPECT_TRUE(pointcloud_reader::readWithPy3dtiles(dense / "tileset.json").ok);
    // The output folder itself swapped for a link.
    fs::rename(dense, dir / "moved");
    fs::create_directory_symlink(outside.path(), dense);
    tiles.OnPointCloud(payload(frameAt(4), gridPoints(200), 200));
    EXPECT_EQ(
        log.count(fw::kLogError, {"cannot create " + (dense / "4").string(), "is a symbolic link"}),
        1);
  }
  EXPECT_EQ(fileText(outside / "precious"), "keep");
  std::vector<fs::path> outsideFiles;
  for (const auto& entry : fs::directory_iterator(outside.path()))
    outsideFiles.push_back(entry.path());
  EXPECT_EQ(outsideFiles, std::vector<fs::path>{outside / "precious"});
  const json root = json::parse(fileText(dir / "moved" / "tileset.json"));
  EXPECT_EQ(root["root"]["children"].size(), 2u) << "frames 1 and 3";
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputFailed);
  EXPECT_EQ(log.count(fw::kLogError, {"2 frame(s) could not be written"}), 1);
}

TEST(PointCloudTilesFaults, WritesFailingForLackOfSpace) {
  // A file size limit makes writes fail as a full disk would, whoever runs the test.
  vmtest::TempDir dir;
  CapturedLog log;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 2000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  tiles.OnPointCloud(payload(frameAt(1), gridPoints(1000), 1000));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(log.count(fw::kLogError, {"cannot write", "0.pnts"}), 1);
  EXPECT_FALSE(fs::exists(dir / "dense" / "tileset.json"));
  EXPECT_FALSE(fs::exists(dir / "dense" / "1" / "0.pnts"));
  for (const auto& entry : fs::directory_iterator(dir / "dense" / "1"))
    ADD_FAILURE() << "left behind: " << entry.path();
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputNotStarted);
}

TEST(PointCloudTilesFaults, UnwrittenFramesAndAnEarlierPointCloudFailTheRecord) {
  vmtest::TempDir dir;
  const fs::path dense = dir / "dense";
  CapturedLog log;
  zel::Chain mapper("Mapper", nullptr);
  {
    PointCloudTiles tiles(dense.string(), &mapper);
    tiles.OnPointCloud(payload(frameAt(1), gridPoints(200), 200));
    std::ofstream(dense / "2") << "taken";
    tiles.OnPointCloud(payload(frameAt(2), gridPoints(200), 200));
  }
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputFailed) << "a cloud with holes is no product";

  // A second run into the same folder keeps the first run's cloud untouched.
  fs::remove(dense / "2");
  const std::string firstRoot = fileText(dense / "tileset.json");
  zel::Chain secondMapper("Mapper", nullptr);
  {
    PointCloudTiles tiles(dense.string(), &secondMapper);
    EXPECT_TRUE(tiles.isInert());
    tiles.OnPointCloud(payload(frameAt(7), gridPoints(200), 200));
  }
  EXPECT_EQ(recordOf(secondMapper)->state, zel::kOutputFailed);
  EXPECT_EQ(fileText(dense / "tileset.json"), firstRoot);
  EXPECT_FALSE(fs::exists(dense / "7"));
  EXPECT_EQ(log.count(fw::kLogError, {"already exists; nothing will be written"}), 1);
}

TEST(PointCloudTilesFaults, PayloadsThatDoNotFit) {
  vmtest::TempDir dir;
  const fs::path dense = dir / "dense";
  CapturedLog log;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles(dense.string(), &mapper);

  tiles.OnPointCloud(payload(frameAt(11), gridPoints(200), 199));
  EXPECT_EQ(log.count(fw::kLogError, {"frame 11", "199 colours for 200 points"}), 1);
  EXPECT_FALSE(fs::exists(dense / "11"));

  // Extra colours are ignored.
  tiles.OnPointCloud(payload(frameAt(12), gridPoints(200), 300));
  EXPECT_TRUE(fs::exists(dense / "12" / "0.pnts"));

  // Non-finite points go with their colours, before the 100-point rule.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Positions withNan = gridPoints(100);
  withNan.insert(withNan.begin() + 5, {nan, 1.f, 1.f});
  withNan.push_back({1.f, std::numeric_limits<float>::infinity(), 1.f});
  tiles.OnPointCloud(payload(frameAt(13), withNan, withNan.size()));
  const auto read = pointcloud_reader::readWithPy3dtiles(dense / "tileset.json");
  ASSERT_TRUE(read.ok) << read.error;
  size_t frame13 = 0;
  for (const auto& p : read.pnts) frame13 += p.path.find("/13/") != std::string::npos ? p.count : 0;
  EXPECT_EQ(frame13, 100u);
  Positions tooFew = gridPoints(99);
  tooFew.push_back({nan, nan, nan});
  tiles.OnPointCloud(payload(frameAt(14), tooFew, tooFew.size()));
  EXPECT_FALSE(fs::exists(dense / "14"));

  // A pose that is not finite refuses the frame; the root stays strict JSON.
  SE3 broken;
  broken.t.x = std::numeric_limits<double>::infinity();
  tiles.OnPointCloud(payload(frameAt(15, broken), gridPoints(200), 200));
  EXPECT_EQ(log.count(fw::kLogError, {"frame 15", "not finite"}), 1);
  EXPECT_FALSE(fs::exists(dense / "15"));
  EXPECT_EQ(pointcloud_reader::strictTilesetProblems(dense / "tileset.json"),
            std::vector<std::string>());

  // Payloads of the wrong shape are logged, never thrown.
  EXPECT_NO_THROW(tiles.OnPointCloud(sv::Var{sv::Var(1), sv::Var(2), sv::Var(3)}));
  EXPECT_NO_THROW(tiles.OnPointCloud(sv::Var("text")));
  EXPECT_NO_THROW(
      tiles.OnPointCloud(sv::Var{sv::Var(frameAt(16)), sv::Var("not points"), sv::Var(Colours())}));
  EXPECT_EQ(log.count(fw::kLogError, {"frame 16", "skipped"}), 1);
  EXPECT_NO_THROW(tiles.OnPointCloud(sv::Var{sv::Var(std::shared_ptr<fw::MapFrame>()),
                                             sv::Var(gridPoints(200)), sv::Var(Colours(200))}));
}

}  // namespace
