// Six frames of the example flight, located by our front end, through the back end's
// factory with a recording terrain fusion: the point cloud loads in py3dtiles, every tile
// point is a world point terrain fusion got for its frame and lies in every box on its path,
// the points sit on the true ground, and a map's frames arrive in identifier order.
#include "terrain_fusion_double_for_tests.h"

#include "chain/chain_factories.h"
#include "chain/progress_entry.h"
#include "framework/located_frame_for_tests.h"
#include "framework/map_fusion.h"
#include "framework/messenger.h"
#include "framework/run_tally.h"
#include "framework/slam.h"
#include "src/3dtiles/src/pointcloud_reader_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"
#include "temp_dir.h"
#include "tools/example_flight.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <unordered_map>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using fwtest::ListedMap;

// World points of one frame, found by their centimetre cell.
class PointIndex {
 public:
  explicit PointIndex(const std::vector<pi::Point3d>& points) : points_(points) {
    for (size_t i = 0; i < points.size(); ++i) cells_[key(cell(points[i]))].push_back(i);
  }
  double nearest(const pi::Point3d& p) const {
    double best = 1e9;
    const auto c = cell(p);
    for (long dx = -1; dx <= 1; ++dx)
      for (long dy = -1; dy <= 1; ++dy)
        for (long dz = -1; dz <= 1; ++dz) {
          const auto found = cells_.find(key({c[0] + dx, c[1] + dy, c[2] + dz}));
          if (found == cells_.end()) continue;
          for (size_t i : found->second) {
            const pi::Point3d& q = points_[i];
            best = std::min(best, std::hypot(q.x - p.x, q.y - p.y, q.z - p.z));
          }
        }
    return best;
  }

 private:
  static std::array<long, 3> cell(const pi::Point3d& p) {
    return {long(std::floor(p.x * 100)), long(std::floor(p.y * 100)), long(std::floor(p.z * 100))};
  }
  static uint64_t key(const std::array<long, 3>& c) {
    return (uint64_t(c[0]) * 73856093u) ^ (uint64_t(c[1]) * 19349663u) ^
           (uint64_t(c[2]) * 83492791u);
  }
  const std::vector<pi::Point3d>& points_;
  std::unordered_map<uint64_t, std::vector<size_t>> cells_;
};

// A copy of a located frame (key points, observations, pose) whose image file is `path`.
std::shared_ptr<fw::MapFrame> copyWithImage(const std::shared_ptr<fw::MapFrame>& frame,
                                            const std::string& path) {
  auto* located = dynamic_cast<MapFrame*>(frame.get());
  if (!located) return nullptr;
  std::vector<double> gps;
  frame->call("GetGPS", &gps);
  auto copy = std::make_shared<MapFrame>(frame->id, frame->timestamp, fw::GImage(), path,
                                         frame->getCamera(0), gps, 1);
  copy->copyKeyPointsFrom(*located);
  copy->setPose(frame->getPoseSim3());
  return copy;
}

class DenseFlight : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    flight_ = new pipeline_test::LocatedStrip(6, 240, 180, 204, "points_fusion_flight");
  }
  static void TearDownTestSuite() {
    delete flight_;
    flight_ = nullptr;
  }

  static std::string configFor(const fs::path& tiles) {
    return json{{"scale", 4.0},
                {"tiling", {{"format", "pnts"}, {"location", tiles.string()}}},
                {"legacy_tf", {{"method", "legacy_tf"}}}}
        .dump();
  }

  static pipeline_test::LocatedStrip* flight_;
};

pipeline_test::LocatedStrip* DenseFlight::flight_ = nullptr;

TEST_F(DenseFlight, PointCloudOfSixLocatedFramesMatchesWhatTerrainFusionGotAndTheGround) {
  ASSERT_EQ(flight_->frames.size(), 6u);
  terrain_double::reset();
  vmtest::TempDir home;
  zel::Chain mapper("Mapper", nullptr);
  mapper.setProgressEntry(taskProgressModel());
  {
    auto fusion = createPointsFusionInstance(configFor(home / "dense"), &mapper,
                                             &fw::Messenger::instance(), &fw::logSinks());
    fusion->setExpectedFrames(6);
    for (const auto& frame : flight_->frames) EXPECT_TRUE(fusion->fuseFrame(frame));
  }
  const ProgressEntry progress = mapper.progressEntry();
  EXPECT_EQ(progress.children.at(1).name, "Map Fusion");
  EXPECT_EQ(progress.children.at(1).progress, 6.0);
  EXPECT_EQ(progress.children.at(1).total, 6.0);

  const fs::path root = home / "dense" / "tileset.json";
  EXPECT_EQ(pointcloud_reader::strictTilesetProblems(root), std::vector<std::string>());
  const auto read = pointcloud_reader::readWithPy3dtiles(root);
  ASSERT_TRUE(read.ok) << read.error;

  std::vector<uint64_t> taken;
  for (const auto& in : terrain_double::intake()) taken.push_back(in.frameId);
  EXPECT_EQ(taken, pipeline_test::range(0, 6)) << "every frame reaches terrain once, in order";
  std::map<uint64_t, std::vector<pi::Point3d>> world;
  for (auto& cloud : terrain_double::pointClouds()) world[cloud.frameId] = std::move(cloud.world);
  // The last frame pairs with the one before it; it has only the final pass's second view,
  // which may confirm none of its depths, and then reaches terrain by its sparse points.
  ASSERT_GE(world.size(), 5u);
  std::map<uint64_t, std::unique_ptr<PointIndex>> index;
  for (const auto& [id, points] : world) index[id] = std::make_unique<PointIndex>(points);

  const flight::GroundTruth truth = flight::readGroundTruth(flight_->folder / "truth");
  const pipeline_test::Site site = flight_->site();
  std::map<uint64_t, size_t> pointsOfFrame;
  std::vector<double> heightErrors;
  size_t outsideTruth = 0;
  for (const auto& pnts : read.pnts) {
    SCOPED_TRACE(pnts.path);
    const uint64_t id = std::stoull(fs::path(pnts.path).parent_path().filename().string());
    ASSERT_TRUE(index.count(id));
    pointsOfFrame[id] += pnts.count;
    for (const auto& w : pnts.world) {
      ASSERT_LT(index[id]->nearest({w[0], w[1], w[2]}), 1e-3);
      for (const auto& box : pnts.boxes) ASSERT_TRUE(pointcloud_reader::insideBox(w, box, 1e-3));
      const cv::Vec3d enu = site.toEnu({w[0], w[1], w[2]});
      const int col = int(std::floor((enu[0] - truth.east_min) / truth.texel));
      const int row = int(std::floor((truth.north_max - enu[1]) / truth.texel));
      if (col < 0 || row < 0 || col >= truth.height.cols || row >= truth.height.rows) {
        ++outsideTruth;
        continue;
      }
      heightErrors.push_back(std::fabs(enu[2] - truth.height.at<float>(row, col)));
    }
  }
  // The last depth frame has only the final pass's second view: it may confirm too few.
  EXPECT_GE(pointsOfFrame.size(), 4u);
  for (const auto& [id, count] : pointsOfFrame) EXPECT_GE(count, 100u) << id;
  EXPECT_EQ(outsideTruth, 0u);
  ASSERT_FALSE(heightErrors.empty());
  std::nth_element(heightErrors.begin(), heightErrors.begin() + heightErrors.size() / 2,
                   heightErrors.end());
  EXPECT_LT(heightErrors[heightErrors.size() / 2], 2.0);

  // The record is refreshed up the chain while frames are written.
  std::shared_ptr<zel::OutputItem> record;
  mapper.visitOutputs([&record](const std::shared_ptr<zel::OutputItem>& r) { record = r; });
  ASSERT_TRUE(record);
  EXPECT_EQ(record->id, "pointcloud_01");
  EXPECT_EQ(record->state, zel::kOutputInProgress);
}

TEST_F(DenseFlight, MapFramesArriveInIdentifierOrderAfterTheMapSetUp) {
  terrain_double::reset();
  vmtest::TempDir home;
  zel::Chain mapper("Mapper", nullptr);
  std::vector<std::shared_ptr<fw::MapFrame>> shuffled = flight_->frames;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
  shuffled.insert(shuffled.begin() + 2, nullptr);
  {
    auto fusion = createPointsFusionInstance(configFor(home / "dense"), &mapper, nullptr, nullptr);
    EXPECT_TRUE(fusion->fuseMap(std::make_shared<ListedMap>(shuffled)));
  }
  std::vector<uint64_t> ids;
  for (const auto& in : terrain_double::intake()) ids.push_back(in.frameId);
  EXPECT_EQ(ids, pipeline_test::range(0, 6));
  const auto configs = terrain_double::configurations();
  ASSERT_EQ(configs.size(), 1u);
  const json tf = json::parse(configs[0]);
  EXPECT_TRUE(tf.contains("zoom_level")) << configs[0];
  EXPECT_EQ(tf.value("fetch_gps", false), true);
}

// Frames read back from 16-bit colour or grey files are decoded as the dataset decodes them
// (8-bit BGR): they get the depth maps and points of the 8-bit flight.
TEST_F(DenseFlight, SixteenBitAndGreyFramesGetTheirDepthMaps) {
  const auto mapWith = [&](const std::function<cv::Mat(const cv::Mat&)>& layout) {
    terrain_double::reset();
    fw::RunTally::instance().reset();
    vmtest::TempDir home;
    std::vector<std::shared_ptr<fw::MapFrame>> frames;
    for (const auto& frame : flight_->frames) {
      std::string path;
      frame->call("GetImagePath", &path);
      const fs::path copy = home / ("frame" + std::to_string(frame->id) + ".png");
      EXPECT_TRUE(cv::imwrite(copy.string(), layout(cv::imread(path, cv::IMREAD_COLOR))));
      frames.push_back(copyWithImage(frame, copy.string()));
    }
    zel::Chain mapper("Mapper", nullptr);
    {
      auto fusion =
          createPointsFusionInstance(configFor(home / "dense"), &mapper, nullptr, nullptr);
      for (const auto& frame : frames) EXPECT_TRUE(fusion->fuseFrame(frame));
    }
    return std::make_pair(fw::RunTally::instance().count(fw::tally::kDepthMaps),
                          terrain_double::intake());
  };
  const auto eightBit = mapWith([](const cv::Mat& image) { return image; });
  ASSERT_GE(eightBit.first, 4);
  const auto deep = mapWith([](const cv::Mat& image) {
    cv::Mat out;
    image.convertTo(out, CV_16UC3, 257.0);
    return out;
  });
  EXPECT_EQ(deep.first, eightBit.first);
  EXPECT_EQ(deep.second, eightBit.second);
  const auto grey = mapWith([](const cv::Mat& image) {
    cv::Mat out;
    cv::cvtColor(image, out, cv::COLOR_BGR2GRAY);
    out.convertTo(out, CV_16UC1, 257.0);
    return out;
  });
  EXPECT_GE(grey.first, eightBit.first - 1);
}

TEST_F(DenseFlight, AFrameWithoutADepthMapReachesTerrainByItsSparsePointsInItsPlace) {
  terrain_double::reset();
  fw::RunTally::instance().reset();
  vmtest::TempDir home;
  // Frames 0 and 2 show a featureless field: no pair of frames 0 to 2 finds a fifth of a
  // depth map. All three go by terrain fusion's frame route, frame 0 before any point cloud
  // has come; none is sent as a point cloud of its sparse points.
  const fs::path blank = home / "blank.png";
  ASSERT_TRUE(cv::imwrite(blank.string(), cv::Mat(180, 240, CV_8UC3, cv::Scalar(60, 90, 140))));
  std::vector<std::shared_ptr<fw::MapFrame>> frames;
  for (const auto& frame : flight_->frames) {
    std::string path;
    frame->call("GetImagePath", &path);
    if (frame->id == 0 || frame->id == 2) path = blank.string();
    frames.push_back(copyWithImage(frame, path));
  }
  zel::Chain mapper("Mapper", nullptr);
  {
    auto fusion = createPointsFusionInstance(configFor(home / "dense"), &mapper, nullptr, nullptr);
    for (const auto& frame : frames) EXPECT_TRUE(fusion->fuseFrame(frame));
  }
  const std::vector<terrain_double::Intake> intake = terrain_double::intake();
  std::vector<uint64_t> ids;
  for (const auto& in : intake) ids.push_back(in.frameId);
  EXPECT_EQ(ids, pipeline_test::range(0, 6)) << "the terrain takes frames in their order";
  ASSERT_EQ(intake.size(), 6u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(intake[i].sparse) << i;
  EXPECT_FALSE(intake[3].sparse);
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kDepthMaps), 3);
  EXPECT_GE(fw::RunTally::instance().count(fw::tally::kDepthMaps), 2);
  const auto clouds = terrain_double::pointClouds();
  ASSERT_FALSE(clouds.empty());
  EXPECT_EQ(clouds[0].frameId, 3u) << "only frames with a depth map come as point clouds";
  EXPECT_GT(fw::RunTally::instance().count(fw::tally::kPoints), 0);
}

}  // namespace
