// The point-cloud tiles node writes what a reader we did not write (py3dtiles) loads: every
// point, placed by its tileset's transform, where the frame's pose puts it and inside every
// box on its path; additive refinement and geometric errors that never grow; one root entry
// per frame; and the "pointcloud_01" record.
#include "3dtiles.h"
#include "framework/captured_log_for_tests.h"
#include "pointcloud_reader_for_tests.h"

#include "framework/diy_frame.h"
#include "framework/messenger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using pointcloud_reader::readWithPy3dtiles;
using pointcloud_reader::strictTilesetProblems;
using Positions = std::vector<pi::Point3_<float>>;
using Colours = std::vector<pi::Point3_<unsigned char>>;

json readJson(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

std::shared_ptr<fw::MapFrame> frameAt(uint64_t id, const SE3& pose) {
  auto frame = std::make_shared<MapFrame>(id, 0.0, fw::GImage(), "f.jpg",
                                          fw::Camera({640, 480, 500, 500, 320, 240}),
                                          std::vector<double>(), 1);
  frame->setPose(pose);
  return frame;
}

// A pose of an aerial camera somewhere on the earth: a rotation about a random axis and an
// earth-centred translation.
SE3 randomPose(std::mt19937& random) {
  std::normal_distribution<double> n(0.0, 1.0);
  fw::Quaternion q(n(random), n(random), n(random), n(random));
  const double norm = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  q = fw::Quaternion(q.x / norm, q.y / norm, q.z / norm, q.w / norm);
  return SE3(q, {4.2e6 + 1e3 * n(random), 6.5e5 + 1e3 * n(random), 4.7e6 + 1e3 * n(random)});
}

struct Cloud {
  Positions positions;
  Colours colours;
};

Cloud randomCloud(std::mt19937& random, size_t count) {
  std::uniform_real_distribution<float> xy(-60.f, 60.f), z(90.f, 130.f);
  Cloud cloud;
  for (size_t i = 0; i < count; ++i) {
    cloud.positions.emplace_back(xy(random), xy(random), z(random));
    cloud.colours.emplace_back(static_cast<unsigned char>(i % 256), 17, 250);
  }
  return cloud;
}

sv::Var payloadOf(const std::shared_ptr<fw::MapFrame>& frame, const Cloud& cloud) {
  return sv::Var{sv::Var(frame), sv::Var(cloud.positions), sv::Var(cloud.colours)};
}

std::shared_ptr<zel::OutputItem> recordOf(const zel::Node& node) {
  std::shared_ptr<zel::OutputItem> found;
  node.visitOutputs([&found](const std::shared_ptr<zel::OutputItem>& r) {
    if (r->id == "pointcloud_01") found = r;
  });
  return found;
}

// Every point of every level, placed by py3dtiles through its transforms, is the frame's
// pose applied to one of the frame's points (1 mm), and lies in every box on its path.
void expectPlacedInsideBoxes(const pointcloud_reader::ReadTiles& read,
                             const std::map<uint64_t, std::pair<SE3, Cloud>>& frames) {
  for (const auto& pnts : read.pnts) {
    SCOPED_TRACE(pnts.path);
    const uint64_t id = std::stoull(fs::path(pnts.path).parent_path().filename().string());
    const auto& [pose, cloud] = frames.at(id);
    const int level = std::stoi(fs::path(pnts.path).stem().string());
    ASSERT_EQ(pnts.world.size(), pnts.count);
    for (size_t k = 0; k < pnts.world.size(); ++k) {
      // The k-th point of level L is the frame's point with the k-th index of that level.
      size_t index = 0, seen = 0;
      for (size_t i = 0; i < cloud.positions.size(); ++i) {
        int l = 0;
        while (l < 4 && i % (size_t(2) << l) == 0) ++l;
        if (l != level) continue;
        if (seen++ == k) {
          index = i;
          break;
        }
      }
      const auto& p = cloud.positions[index];
      const pi::Point3d truth = pose.transformPoint({p.x, p.y, p.z});
      const auto& w = pnts.world[k];
      ASSERT_LT(std::hypot(w[0] - truth.x, w[1] - truth.y, w[2] - truth.z), 1e-3);
      ASSERT_EQ(pnts.colours[k], (std::array<int, 3>{cloud.colours[index].x, cloud.colours[index].y,
                                                     cloud.colours[index].z}));
      for (const auto& box : pnts.boxes) ASSERT_TRUE(pointcloud_reader::insideBox(w, box, 1e-3));
    }
  }
}

TEST(PointCloudTiles, HundredPointsOfAnIdentityFrameAsFiveLevels) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  ASSERT_FALSE(tiles.isInert());
  ASSERT_TRUE(recordOf(mapper));
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputNotStarted);

  std::mt19937 random(3);
  const Cloud cloud = randomCloud(random, 100);
  tiles.OnPointCloud(payloadOf(frameAt(42, SE3()), cloud));

  EXPECT_EQ(strictTilesetProblems(dir / "dense" / "tileset.json"), std::vector<std::string>());
  const auto read = readWithPy3dtiles(dir / "dense" / "tileset.json");
  ASSERT_TRUE(read.ok) << read.error;
  ASSERT_EQ(read.pnts.size(), 5u);
  std::map<int, size_t> counts;
  for (const auto& p : read.pnts) counts[std::stoi(fs::path(p.path).stem().string())] = p.count;
  EXPECT_EQ(counts, (std::map<int, size_t>{{0, 50}, {1, 25}, {2, 12}, {3, 6}, {4, 7}}));
  expectPlacedInsideBoxes(read, {{42, {SE3(), cloud}}});

  const json frameDoc = readJson(dir / "dense" / "42" / "tileset.json");
  EXPECT_EQ(frameDoc["root"]["transform"], json({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
  const json rootDoc = readJson(dir / "dense" / "tileset.json");
  EXPECT_EQ(rootDoc["root"]["boundingVolume"], frameDoc["root"]["boundingVolume"]);
  EXPECT_EQ(rootDoc["root"]["children"][0]["content"]["uri"], "./42/tileset.json");
  // Errors down the path of level 0: root document, its entry, frame document, levels.
  std::vector<int> errors = {rootDoc["geometricError"], rootDoc["root"]["geometricError"],
                             rootDoc["root"]["children"][0]["geometricError"],
                             frameDoc["geometricError"], frameDoc["root"]["geometricError"]};
  for (json tile = frameDoc["root"]["children"][0];; tile = tile["children"][0]) {
    errors.push_back(tile["geometricError"]);
    if (tile["children"].empty()) break;
  }
  EXPECT_EQ(errors, (std::vector<int>{2000, 2000, 15, 15, 15, 12, 9, 6, 3, 0}));
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputInProgress);
}

TEST(PointCloudTiles, FewerThanHundredPointsWriteNothing) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  std::mt19937 random(4);
  tiles.OnPointCloud(payloadOf(frameAt(7, SE3()), randomCloud(random, 99)));
  EXPECT_FALSE(fs::exists(dir / "dense" / "7"));
  EXPECT_FALSE(fs::exists(dir / "dense" / "tileset.json"));
  EXPECT_EQ(recordOf(mapper)->state, zel::kOutputNotStarted);
}

TEST(PointCloudTiles, RotatedFramesOnTheEarthAreHeldByEveryBoxOnTheirPath) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  std::mt19937 random(5);
  std::map<uint64_t, std::pair<SE3, Cloud>> frames;
  for (uint64_t id : {3, 9, 1, 12}) {
    frames[id] = {randomPose(random), randomCloud(random, 300 + 17 * id)};
    tiles.OnPointCloud(payloadOf(frameAt(id, frames[id].first), frames[id].second));
  }
  // The same frame again: its entry is replaced where it stands, the box stays the union.
  frames[9] = {randomPose(random), randomCloud(random, 250)};
  tiles.OnPointCloud(payloadOf(frameAt(9, frames[9].first), frames[9].second));
  // Through the topic, as another publisher would send it.
  frames[20] = {randomPose(random), randomCloud(random, 120)};
  fw::Messenger::instance().publish("sbt.out.pcd",
                                    payloadOf(frameAt(20, frames[20].first), frames[20].second));

  EXPECT_EQ(strictTilesetProblems(dir / "dense" / "tileset.json"), std::vector<std::string>());
  const auto read = readWithPy3dtiles(dir / "dense" / "tileset.json");
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.pnts.size(), 5 * frames.size());
  expectPlacedInsideBoxes(read, frames);

  const json root = readJson(dir / "dense" / "tileset.json");
  std::vector<std::string> uris;
  for (const json& entry : root["root"]["children"]) uris.push_back(entry["content"]["uri"]);
  EXPECT_EQ(uris,
            (std::vector<std::string>{"./3/tileset.json", "./9/tileset.json", "./1/tileset.json",
                                      "./12/tileset.json", "./20/tileset.json"}));
}

TEST(PointCloudTiles, MergedBoxHoldsBothRotatedBoxes) {
  // A box turned 45 degrees about z reaches |a1| + |a2| along x, not the larger component.
  const double s = std::sqrt(0.5);
  const TileBox turned = {0, 0, 0, 10 * s, 10 * s, 0, -s, s, 0, 0, 0, 1};
  const TileBox offset = {100, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  const TileBox merged = PointCloudTiles::mergeBoundingBox(turned, offset);
  const double reach = 11 * s;
  EXPECT_NEAR(merged[0], (101 - reach) / 2, 1e-9);
  EXPECT_NEAR(merged[3], (101 + reach) / 2, 1e-9);
  EXPECT_NEAR(merged[7], reach, 1e-9);
  EXPECT_NEAR(merged[11], 1, 1e-9);
  for (int i : {4, 5, 6, 8, 9, 10}) EXPECT_EQ(merged[i], 0.0);
}

TEST(PointCloudTiles, TwoThreadsWriteTheirFramesWholly) {
  vmtest::TempDir dir;
  zel::Chain mapper("Mapper", nullptr);
  PointCloudTiles tiles((dir / "dense").string(), &mapper);
  std::mt19937 random(6);
  std::map<uint64_t, std::pair<SE3, Cloud>> frames;
  for (uint64_t id = 1; id <= 8; ++id) frames[id] = {randomPose(random), randomCloud(random, 150)};
  auto feed = [&](uint64_t first) {
    for (uint64_t id = first; id <= 8; id += 2)
      tiles.OnPointCloud(payloadOf(frameAt(id, frames[id].first), frames[id].second));
  };
  std::thread odd(feed, 1);
  feed(2);
  odd.join();
  const auto read = readWithPy3dtiles(dir / "dense" / "tileset.json");
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.pnts.size(), 40u);
  expectPlacedInsideBoxes(read, frames);
}

}  // namespace
