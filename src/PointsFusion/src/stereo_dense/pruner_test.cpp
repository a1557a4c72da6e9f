#include "src/PointsFusion/src/stereo_dense/pruner.h"
#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"

#include "framework/run_tally.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace pipeline_test;

struct Sent {
  int terrainCalls = 0, tilesCalls = 0;
  double depthError = -1.0;  // as terrain fusion received it
  std::vector<pi::Point3d> world;
  std::vector<pi::Point3f> local;
  std::vector<pi::Point3ub> colours;
};

Sent prune(const std::shared_ptr<ImageScaled>& record, bool withTerrain) {
  Sent sent;
  Pruner::Output terrain;
  if (withTerrain) {
    terrain = [&](sv::Var& v) {
      ++sent.terrainCalls;
      sent.world = v[1].castAs<std::vector<pi::Point3d>>();
      sent.depthError = v[2].castAs<double>();
    };
  }
  Pruner pruner(terrain, [&](sv::Var& v) {
    ++sent.tilesCalls;
    sent.local = v[1].castAs<std::vector<pi::Point3f>>();
    sent.colours = v[2].castAs<std::vector<pi::Point3ub>>();
  });
  pruner.Process(record);
  return sent;
}

double distance(const pi::Point3d& a, const pi::Point3d& b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                   (a.z - b.z) * (a.z - b.z));
}

// A tilted, earth-centred record whose rectified camera is turned against its frame.
std::shared_ptr<ImageScaled> redSlope() {
  const Site site;
  flight::CameraPlacement placement;
  placement.position = {12, -30, 95};
  placement.enu_from_camera =
      cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1) *
      cv::Matx33d(0.9950042, 0, 0.0998334, 0, 1, 0, -0.0998334, 0, 0.9950042);
  const SE3 framePose = site.pose(placement);
  const SE3 turn(fw::Quaternion(0.02, -0.03, 0.01, std::sqrt(1 - 0.0014)), pi::Point3d());
  const SE3 rectified = SE3::compose(framePose, turn);
  cv::Mat depth(120, 160, CV_32FC1);
  for (int r = 0; r < depth.rows; ++r)
    for (int c = 0; c < depth.cols; ++c) depth.at<float>(r, c) = 90.0f + 0.05f * c + 0.02f * r;
  auto record = makeRecord(3, rectified, cv::Mat(120, 160, CV_8UC3, cv::Scalar(0, 0, 255)), depth,
                           cv::Matx33d(150, 0, 79.5, 0, 150, 59.5, 0, 0, 1));
  record->frame->setPose(framePose);
  record->count.setTo(2);
  return record;
}

TEST(Pruner, ColoursAndLocalPointsMatchTheWorldPointsOnBothPaths) {
  const auto record = redSlope();
  const Sent both = prune(record, true);
  ASSERT_EQ(both.terrainCalls, 1);
  ASSERT_EQ(both.tilesCalls, 1);
  // A 160-pixel image keeps every pixel on the grid (step 1), so the lists pair up.
  ASSERT_EQ(both.world.size(), 160u * 120u);
  ASSERT_EQ(both.local.size(), both.world.size());
  ASSERT_EQ(both.colours.size(), both.local.size());
  const SE3 framePose = record->frame->getPoseSE3();
  double worst = 0;
  for (size_t i = 0; i < both.local.size(); ++i) {
    const pi::Point3d back = framePose.transformPoint(pi::Point3d(both.local[i]));
    worst = std::max(worst, distance(back, both.world[i]));
    EXPECT_EQ(both.colours[i], pi::Point3ub(255, 0, 0));
  }
  EXPECT_LT(worst, 0.001);
  // The world points lie at the record's depth along its own camera's rays.
  const SE3 cameraFromWorld = record->pose.inverse();
  EXPECT_NEAR(cameraFromWorld.transformPoint(both.world[0]).z, 90.0, 1e-4);

  const Sent tilesOnly = prune(record, false);
  ASSERT_EQ(tilesOnly.local.size(), both.local.size());
  double apart = 0;
  for (size_t i = 0; i < both.local.size(); ++i)
    apart = std::max(apart, distance(pi::Point3d(both.local[i]), pi::Point3d(tilesOnly.local[i])));
  EXPECT_LT(apart, 0.001);
  EXPECT_EQ(tilesOnly.colours, both.colours);
}

TEST(Pruner, TakesDepthAndCountRulesPerPath) {
  LogLines log;
  auto record = planeRecord(5, 0, 8, 8);
  record->depth.at<float>(1, 0) = 0.0005f;
  record->depth.at<float>(1, 1) = 0.001f;  // not above the limit
  record->count.setTo(2);
  record->count.row(2).setTo(1);  // unconfirmed: no list
  record->count.row(3).setTo(0);  // held by another view: terrain only
  const Sent both = prune(record, true);
  EXPECT_EQ(both.world.size(), 64u - 2 - 8);
  EXPECT_EQ(both.local.size(), 64u - 2 - 8 - 8);
  const Sent tilesOnly = prune(record, false);
  EXPECT_EQ(tilesOnly.local.size(), both.local.size());
  EXPECT_EQ(log.count(fw::kLogInfo, "Pruner processed 5 with 46/54 points"), 2);
}

// Depths no other view confirmed reach terrain fusion apart, ranked with the pair's own, when
// they lie far enough inside their map; never the tiles.
TEST(Pruner, TerrainTakesUnconfirmedDepthsInsideTheMap) {
  auto record = planeRecord(6, 0, 100, 100);
  record->count.setTo(1);
  record->count(cv::Rect(0, 0, 100, 10)).setTo(2);  // confirmed: the usual points
  size_t confirmed = 0, apart = 0, forTiles = 0;
  Pruner pruner(
      [&](sv::Var& v) {
        confirmed = v[1].castAs<std::vector<pi::Point3d>>().size();
        apart = v.length() > 3 ? v[3].castAs<std::vector<pi::Point3d>>().size() : 0;
      },
      [&](sv::Var& v) { forTiles = v[1].castAs<std::vector<pi::Point3f>>().size(); });
  pruner.Process(record);
  const int inside = 100 - 2 * Pruner::kUnconfirmedEdgeReach;
  EXPECT_EQ(confirmed, 1000u);
  EXPECT_EQ(apart, size_t(inside * inside));
  EXPECT_EQ(forTiles, 1000u);
}

TEST(Pruner, RefusesMismatchedRecordsAndReadsStridedImages) {
  fw::RunTally::instance().reset();
  LogLines log;
  auto shortDepth = planeRecord(6, 0, 8, 8);
  shortDepth->depth = shortDepth->depth.rowRange(0, 4).clone();
  auto grey = planeRecord(7, 0, 8, 8);
  grey->rectImage = cv::Mat(8, 8, CV_8UC1, cv::Scalar(9));
  auto noCount = planeRecord(8, 0, 8, 8);
  noCount->count.release();
  for (const auto& bad : {shortDepth, grey, noCount}) {
    const Sent sent = prune(bad, true);
    EXPECT_EQ(sent.terrainCalls + sent.tilesCalls, 0);
  }
  for (int id : {6, 7, 8})
    EXPECT_EQ(log.count(fw::kLogError, "frame " + std::to_string(id) + " has no dense points"), 1);
  // They are lost to the point cloud, counted, but still reach terrain by their sparse points.
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kPointCloudFrames), 3);
  std::vector<uint64_t> sparse;
  Pruner withSparse({}, {}, [&](sv::Var& v) {
    sparse.push_back(v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id);
  });
  withSparse.Process(shortDepth);
  EXPECT_EQ(sparse, std::vector<uint64_t>{6});

  // Rows of a view into a wider image are not contiguous.
  auto strided = planeRecord(9, 0, 8, 8);
  cv::Mat wide(8, 20, CV_8UC3);
  for (int r = 0; r < 8; ++r) wide.row(r).setTo(cv::Scalar(r, 10 * r, 20 * r));
  strided->rectImage = wide.colRange(4, 12);
  strided->count.setTo(2);
  const Sent sent = prune(strided, false);
  ASSERT_EQ(sent.colours.size(), 64u);
  for (size_t i = 0; i < 64; ++i) {
    const unsigned char r = static_cast<unsigned char>(i / 8);
    EXPECT_EQ(sent.colours[i], pi::Point3ub(20 * r, 10 * r, r)) << i;
  }
}

TEST(Pruner, AFrameWithoutDenseDepthsIsHandedOnAlone) {
  LogLines log;
  auto failed = planeRecord(11, 0, 8, 8);
  failed->depth.release();                      // its pair gave no depth map
  auto unconfirmed = planeRecord(12, 0, 8, 8);  // every count 1: no sample for terrain
  std::vector<uint64_t> sparse;
  int dense = 0;
  Pruner pruner(
      [&](sv::Var&) { ++dense; }, [&](sv::Var&) { ++dense; },
      [&](sv::Var& v) { sparse.push_back(v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id); });
  pruner.Process(failed);
  pruner.Process(unconfirmed);
  EXPECT_EQ(sparse, (std::vector<uint64_t>{11, 12}));
  EXPECT_EQ(dense, 1) << "only the tiles hear of the unconfirmed frame, with no point";
  EXPECT_EQ(log.count(fw::kLogInfo, "frame 11 has no depth map"), 1);
  EXPECT_EQ(log.count(fw::kLogInfo, "frame 12 kept no depth"), 1);

  // Without a sparse output nothing is sent and nothing fails.
  Pruner quiet({}, {});
  quiet.Process(failed);
  EXPECT_EQ(log.count(fw::kLogError, "frame 11"), 0);
}

TEST(Pruner, StepBelowOneIsTakenAsOne) {
  LogLines log;
  Config step("pointsfusion.resample_step", "0", "1");
  EXPECT_EQ(Pruner::resampleStep(1080, 1920), 1);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.resample_step"), 1);
}

// Terrain fusion learns how far the pair's depths may be off: a disparity error moves the
// median depth z by z^2 / (f B); a record of unknown pair geometry sends 0 (unknown).
TEST(Pruner, TellsTerrainTheDepthErrorOfThePair) {
  const auto record = redSlope();
  EXPECT_EQ(prune(record, true).depthError, 0.0);
  record->focalTimesBaseline = 150.0 * 20.0;
  const double median = 90.0 + 0.05 * 80 + 0.02 * 56;  // of the depths sampled every 8 pixels
  EXPECT_NEAR(prune(record, true).depthError, median * median / 3000.0 * Pruner::kDisparityError,
              0.05);
  record->depth.setTo(0.0f);
  EXPECT_EQ(Pruner::depthError(*record), 0.0);
}

}  // namespace
