#include "georeferencing_front_end.h"

#include "chain/chain_factories.h"
#include "direct_georeferencing.h"
#include "framework/geodesy.h"
#include "framework/run_tally.h"
#include "front_end_test_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <fstream>

namespace sfm {
namespace {

using testing::CapturedLog;
using testing::gpsRecord;
using testing::inputFrame;
using testing::RecordingChain;

const double kLat = 30.52, kLon = 114.36;

std::vector<std::string> readLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

pi::Point3d axis(const SE3& pose, double x, double y, double z) {
  return fw::transformPoint(pose.q, {x, y, z});
}

TEST(GeoreferencingFrontEnd, SendsEveryFrameInOrderWithPoseKeyPointsAndProgress) {
  vmtest::TempDir dir;
  RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {{}, dir.path() / "sfm", {}});
  front_end.setFrameCount(3);
  const cv::Mat pixels(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));
  for (uint64_t id = 0; id < 3; ++id) {
    const double lat = kLat + 1e-4 * id;
    EXPECT_TRUE(
        front_end.addFrame(inputFrame(id, gpsRecord(lat, kLon, 135.0, 100.0, -88.0, 5.0, 1.0),
                                      testing::calibration(), fw::GImage(pixels))));
    // Even frames no image can refine wait for the first window, which settles the camera
    // every frame carries.
    ASSERT_TRUE(chain.commands.empty());
  }
  EXPECT_TRUE(front_end.finishInput());
  ASSERT_EQ(chain.commands.size(), 3u);
  EXPECT_NEAR(chain.locateProgress(), 1.0, 1e-12);
  EXPECT_NEAR(chain.rootProgress(), 0.7, 1e-6);

  for (uint64_t id = 0; id < 3; ++id) {
    EXPECT_EQ(chain.commands[id], "frame_located");
    const std::shared_ptr<fw::MapFrame> f = chain.frames[id];
    ASSERT_TRUE(f);
    EXPECT_EQ(f->id, id);
    EXPECT_EQ(f->timestamp, 1701532800.0 + id);
    std::string path;
    f->call("GetImagePath", &path);
    EXPECT_EQ(path, "/data/frame_" + std::to_string(id) + ".jpg");
    std::vector<double> gps;
    f->call("GetGPS", &gps);
    EXPECT_EQ(gps.size(), 14u);
    EXPECT_EQ(f->getCamera(0).getParameters(), testing::calibration());
    EXPECT_TRUE(f->getImage(0, 0).empty()) << "the located frame keeps no pixels";
    const SE3 expected = worldFromCamera(kLat + 1e-4 * id, kLon, 135.0, {-88.0, 5.0, 1.0});
    const SE3 pose = f->getPoseSE3();
    EXPECT_NEAR(pose.t.x, expected.t.x, 1e-9);
    EXPECT_NEAR(pose.t.z, expected.t.z, 1e-9);
    EXPECT_NEAR(std::abs(pose.q.x * expected.q.x + pose.q.y * expected.q.y +
                         pose.q.z * expected.q.z + pose.q.w * expected.q.w),
                1.0, 1e-12);
    ASSERT_GT(f->keyPointCount(), 300);
    EXPECT_EQ(f->observationCount(), f->keyPointCount());
    pi::Point3ub colour;
    ASSERT_TRUE(f->getKeyPointColor(0, colour));
    EXPECT_EQ(colour, pi::Point3ub(10, 20, 30));
    fw::Point2d inverse_depth;
    ASSERT_TRUE(f->getKeyPointInverseDepth(0, inverse_depth));
    EXPECT_GT(1.0 / inverse_depth.x, 99.0);
  }
  // Map points are never shared between frames.
  EXPECT_NE(chain.frames[0]->getKeyPointObservation(0), chain.frames[1]->getKeyPointObservation(0));

  const auto lines = readLines(dir.path() / "sfm" / PoseLog::kFileName);
  ASSERT_EQ(lines.size(), 3u);
  const auto second = nlohmann::json::parse(lines[1]);
  EXPECT_EQ(second["id"], 1);
  EXPECT_EQ(second["image"], "/data/frame_1.jpg");
  EXPECT_DOUBLE_EQ(second["latitude"].get<double>(), kLat + 1e-4);
  EXPECT_DOUBLE_EQ(second["translation"][0].get<double>(), chain.frames[1]->getPoseSE3().t.x);
  EXPECT_EQ(second["rotation"].size(), 4u);
}

TEST(GeoreferencingFrontEnd, SkipsFramesWithoutGpsOrCalibrationAndGoesOn) {
  fw::RunTally::instance().reset();
  CapturedLog log;
  RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  front_end.setFrameCount(5);
  const auto good = gpsRecord(kLat, kLon, 135.0, 100.0, -90.0, 0.0, 0.0);
  std::vector<double> unusable = good;
  unusable[3] = 12.0;  // position sigma too large
  EXPECT_TRUE(front_end.addFrame(inputFrame(0, good)));
  EXPECT_FALSE(front_end.addFrame(inputFrame(1, {})));
  EXPECT_FALSE(front_end.addFrame(inputFrame(2, good, {640, 480, 500})));
  EXPECT_FALSE(front_end.addFrame(inputFrame(3, unusable)));
  EXPECT_TRUE(front_end.addFrame(inputFrame(4, good)));
  EXPECT_FALSE(front_end.addFrame(nullptr));
  // Skipped frames count whole, the two held in the refinement window half.
  EXPECT_NEAR(chain.locateProgress(), 0.8, 1e-12);
  front_end.finishInput();
  EXPECT_NEAR(chain.locateProgress(), 1.0, 1e-12);
  ASSERT_EQ(chain.frames.size(), 2u);
  EXPECT_EQ(chain.frames[0]->id, 0u);
  EXPECT_EQ(chain.frames[1]->id, 4u);
  EXPECT_EQ(log.count(fw::kLogError, {"/data/frame_1.jpg", "GPS"}), 1);
  EXPECT_EQ(log.count(fw::kLogError, {"/data/frame_2.jpg", "camera"}), 1);
  EXPECT_EQ(log.count(fw::kLogError, {"/data/frame_3.jpg", "GPS"}), 1);
  EXPECT_EQ(log.count(fw::kLogError, {"/data/frame_0.jpg"}), 0);
  // Each skipped frame is counted under its reason in the run's summary.
  EXPECT_NE(fw::RunTally::instance().summary().find(
                "frames located failed 3 (no usable GPS position 2, no usable camera "
                "calibration 1)"),
            std::string::npos)
      << fw::RunTally::instance().summary();
}

TEST(GeoreferencingFrontEnd, FramesWithoutAttitudeLookDownAlongTheirTravel) {
  CapturedLog log;
  RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  front_end.setFrameCount(3);
  // Flying east: 20 m per frame.
  const fw::Matrix3 e = ecefFromEnu(kLat, kLon);
  const pi::Point3d start = fw::geodeticToECEF(kLat, kLon, 135.0);
  auto eastBy = [&](double metres) {
    const pi::Point3d d = rotate(e, {metres, 0, 0});
    return fw::ecefToGeodetic(start.x + d.x, start.y + d.y, start.z + d.z);
  };
  for (uint64_t id = 0; id < 3; ++id) {
    const pi::Point3d g = eastBy(20.0 * id);
    front_end.addFrame(inputFrame(id, gpsRecord(g.x, g.y, g.z, 100.0)));
  }
  front_end.finishInput();
  ASSERT_EQ(chain.frames.size(), 3u);
  for (uint64_t id = 0; id < 3; ++id) {
    EXPECT_EQ(chain.frames[id]->id, id);
    const SE3 pose = chain.frames[id]->getPoseSE3();
    const fw::Matrix3 local = ecefFromEnu(eastBy(20.0 * id).x, eastBy(20.0 * id).y);
    const pi::Point3d x = rotate(transpose(local), axis(pose, 1, 0, 0));
    const pi::Point3d z = rotate(transpose(local), axis(pose, 0, 0, 1));
    EXPECT_NEAR(x.y, -1.0, 1e-6) << "heading east, image right is south";
    EXPECT_NEAR(z.z, -1.0, 1e-12) << "looking straight down";
  }
  EXPECT_EQ(log.count(fw::kLogWarning, {"/data/frame_0.jpg", "attitude"}), 1);

  // A lone frame without attitude is located at the end with yaw 0.
  RecordingChain lone_chain;
  GeoreferencingFrontEnd lone(&lone_chain, {});
  lone.setFrameCount(1);
  lone.addFrame(inputFrame(7, gpsRecord(kLat, kLon, 135.0, 100.0)));
  EXPECT_TRUE(lone_chain.frames.empty());
  lone.finishInput();
  ASSERT_EQ(lone_chain.frames.size(), 1u);
  const pi::Point3d x =
      rotate(transpose(ecefFromEnu(kLat, kLon)), axis(lone_chain.frames[0]->getPoseSE3(), 1, 0, 0));
  EXPECT_NEAR(x.x, 1.0, 1e-9) << "yaw 0: image right is east";
}

TEST(GeoreferencingFrontEnd, UnknownFrameCountReportsProgressOnlyAtTheEnd) {
  RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  front_end.setFrameCount(-1);
  // More frames than the first window: once it has settled the camera, featureless frames
  // go as soon as they are refined, each when the next one comes (its features are taken
  // meanwhile).
  const int frames = RefinementOptions().firstWindow() + 4;
  for (int id = 0; id < frames; ++id)
    front_end.addFrame(inputFrame(id, gpsRecord(kLat, kLon, 135.0, 100.0, -90, 0, 0)));
  EXPECT_EQ(chain.frames.size(), static_cast<size_t>(frames - 1));
  EXPECT_EQ(chain.rootProgress(), 0.0);
  EXPECT_LT(chain.progressEntry().children.at(0).time, 0.0) << "no report before the end";
  front_end.finishInput();
  EXPECT_EQ(chain.frames.size(), static_cast<size_t>(frames));
  EXPECT_NEAR(chain.locateProgress(), 1.0, 1e-12);
  EXPECT_NEAR(chain.rootProgress(), 0.7, 1e-6);
}

TEST(CreateSfmInstance, RefusesBadConfigurationsAndWritesPosesToItsWorkFolder) {
  vmtest::TempDir dir;
  CapturedLog log;
  RecordingChain chain;
  EXPECT_FALSE(createSfmInstance("{not json", &chain, nullptr, nullptr));
  EXPECT_FALSE(createSfmInstance("[1, 2]", &chain, nullptr, nullptr));
  EXPECT_FALSE(createSfmInstance("{}", nullptr, nullptr, nullptr));
  EXPECT_EQ(log.count(fw::kLogError, {"Invalid front-end configuration"}), 2);
  EXPECT_TRUE(createSfmInstance("{}", &chain, nullptr, nullptr)) << "a work folder is not required";
  // Refinement settings: known names and values are taken, others refuse the configuration.
  EXPECT_TRUE(createSfmInstance(
      R"({"specific": {"globalsfm.intrinsic_refinement": "NONE", "sfm.refine.window_size": "4",
                                                 "sfm.refine.detector": "SIFT"}})",
      &chain, nullptr, nullptr));
  EXPECT_FALSE(createSfmInstance(R"({"specific": {"globalsfm.intrinsic_refinement": "SOMETIMES"}})",
                                 &chain, nullptr, nullptr));
  EXPECT_FALSE(createSfmInstance(R"({"specific": {"sfm.refine.window_size": 1}})", &chain, nullptr,
                                 nullptr));
  EXPECT_FALSE(
      createSfmInstance(R"({"specific": {"sfm.refine.ratio": "many"}})", &chain, nullptr, nullptr));
  RefinementOptions parsed;
  applySpecific(
      {{"sfm.refine.enabled", false}, {"globalsfm.intrinsic_refinement", "ADJUST_FOCAL_LENGTH"}},
      &parsed);
  EXPECT_FALSE(parsed.enabled);
  EXPECT_EQ(parsed.intrinsics, IntrinsicRefinement::kFocalLength);
  applySpecific({{"sfm.refine.max_gps_sigmas", 4.5}, {"sfm.refine.yaw_sigma", "30"}}, &parsed);
  EXPECT_EQ(parsed.max_gps_sigmas, 4.5);
  EXPECT_EQ(parsed.yaw_sigma, 30.0);
  EXPECT_FALSE(createSfmInstance(R"({"specific": {"sfm.refine.max_gps_sigmas": 0}})", &chain,
                                 nullptr, nullptr))
      << "a frame must be allowed some way from its fix";

  const std::filesystem::path work = dir.path() / "cache" / "sfm";
  const nlohmann::json config = {{"work_dir", work.string()},
                                 {"specific", {{"globalsfm.intrinsic_refinement", "ADJUST_ALL"}}}};
  std::shared_ptr<fw::SLAM> front_end = createSfmInstance(config.dump(), &chain, nullptr, nullptr);
  ASSERT_TRUE(front_end);
  front_end->setFrameCount(1);
  front_end->addFrame(inputFrame(0, gpsRecord(kLat, kLon, 135.0, 100.0, -90, 0, 0)));
  EXPECT_TRUE(front_end->finishInput());
  EXPECT_EQ(readLines(work / PoseLog::kFileName).size(), 1u);
  EXPECT_EQ(chain.commands, std::vector<std::string>{"frame_located"});
}

}  // namespace
}  // namespace sfm
