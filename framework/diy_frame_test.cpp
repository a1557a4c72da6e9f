#include "framework/diy_frame.h"
#include "framework/config_store.h"
#include "framework/file_resource.h"
#include "framework/located_frame_for_tests.h"
#include "framework/map_fusion.h"
#include "framework/vocabulary_file_for_tests.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <memory>
#include <thread>

namespace {

const std::vector<double> kCamera = {640, 480, 500, 500, 320, 240, 0, 0, 0, 0, 0};
// Longitude, latitude, altitude, position sigmas, relative height and its sigma, attitude
// and its sigmas.
const std::vector<double> kGps14 = {8.5, 47.4, 500, 2, 3, 4, 120, 10, 1, 2, 3, 5, 5, 5};

std::shared_ptr<MapFrame> makeFrame(const std::vector<double>& gps = kGps14,
                                    const fw::GImage& image = fw::GImage(), int flags = 1) {
  return std::make_shared<MapFrame>(7, 1701532807.0, image, "/images/7.jpg", fw::Camera(kCamera),
                                    gps, flags);
}

std::vector<cv::KeyPoint> keypointsAt(const std::vector<cv::Point2f>& positions) {
  std::vector<cv::KeyPoint> keypoints;
  for (const cv::Point2f& p : positions) keypoints.emplace_back(p, 3.0f);
  return keypoints;
}

// A frame with key points at the centre and at two other pixels, each seeing a map point in
// front of the identity pose.
std::shared_ptr<MapFrame> frameWithMapPoints(const std::vector<double>& depths) {
  auto frame = makeFrame();
  std::vector<cv::Point2f> positions;
  for (size_t i = 0; i < depths.size(); ++i) positions.emplace_back(320.f + 10 * i, 240.f);
  frame->setKeyPoints(keypointsAt(positions), fw::GImage());
  for (size_t i = 0; i < depths.size(); ++i) {
    auto point = std::make_shared<fw::MapPoint>(100 + i, pi::Point3d(0, 0, depths[i]));
    EXPECT_TRUE(frame->addObservation(point, i, true));
  }
  return frame;
}

}  // namespace

TEST(FrameInterface, BaseAnswersWithDefaults) {
  fw::MapFrame base(3, 2.5);
  EXPECT_EQ(base.type(), "InvalidFrame");
  EXPECT_EQ(base.kind(), 0);
  EXPECT_EQ(base.imageFlags(), 2);
  EXPECT_FALSE(base.getCamera(0).isValid());
  EXPECT_EQ(base.getImage(0, 0).data, nullptr);
  pi::Point3d out(1, 2, 3);
  EXPECT_FALSE(base.getGPSLLA(out));
  EXPECT_EQ(out, pi::Point3d(1, 2, 3));
  EXPECT_EQ(base.keyPointCount(), 0);
  EXPECT_TRUE(base.getKeyPoints().empty());
  EXPECT_TRUE(base.getObservations().empty());
  EXPECT_TRUE(base.getBoWVector().empty());
  EXPECT_EQ(base.getMedianDepth(), 1.0);
  base.setPose(Sim3(fw::Quaternion(), pi::Point3d(1, 2, 3), 2.5));
  EXPECT_EQ(base.getMedianDepth(), 2.5);
  base.setPose(SE3(fw::Quaternion(0, 0, 1, 0), pi::Point3d(4, 5, 6)));
  EXPECT_EQ(base.getPoseScale(), 2.5);
  EXPECT_EQ(base.getPoseSE3().q.z, 1.0);
  EXPECT_EQ(base.getPoseSim3().t, pi::Point3d(4, 5, 6));

  fw::MapFusion fusion;
  EXPECT_EQ(fusion.type(), "MapFusionNone");
  EXPECT_FALSE(fusion.fuseFrame(std::make_shared<fw::MapFrame>(1, 0)));
  fusion.setExpectedFrames(12);
  EXPECT_EQ(fusion.expectedFrames, 12);

  auto a = std::make_shared<fw::MapFrame>(9, 0), b = std::make_shared<fw::MapFrame>(10, 0);
  EXPECT_TRUE(frameIdLess(a, b));
  EXPECT_FALSE(frameIdLess(b, a));
}

TEST(DIYFrame, GpsRecordOfElevenValues) {
  auto frame = makeFrame({10.0, 20.0, 5.0, 3.0, 3.0, 0.5, 0.1, 0.2, 1.0, 1.0, 1.0});
  EXPECT_EQ(frame->type(), "DIYFrame");
  EXPECT_EQ(frame->kind(), 1);
  pi::Point3d v;
  EXPECT_TRUE(frame->isGPSSigmaValid());
  EXPECT_TRUE(frame->getGPSLLA(v));
  EXPECT_EQ(v, pi::Point3d(10, 20, 5));
  EXPECT_TRUE(frame->getGPSSigma(v));
  EXPECT_EQ(v, pi::Point3d(3, 3, 0.5));
  EXPECT_TRUE(frame->hasGPSAttitude());
  EXPECT_TRUE(frame->getGPSAttitude(v));
  EXPECT_EQ(v, pi::Point3d(0.5, 0.1, 0.2));
  EXPECT_TRUE(frame->getGPSAttitudeSigma(v));
  EXPECT_EQ(v, pi::Point3d(1, 1, 1));
  fw::Point2d height(-1, -1);
  EXPECT_FALSE(frame->getGPSHeight(height));
  EXPECT_EQ(height, fw::Point2d(-1, -1));
}

TEST(DIYFrame, GpsRecordsOfOtherLengths) {
  std::vector<double> gps = kGps14;
  gps[3] = 12.0;
  auto frame = makeFrame(gps);
  pi::Point3d v(-1, -1, -1);
  EXPECT_FALSE(frame->isGPSSigmaValid());
  EXPECT_FALSE(frame->getGPSLLA(v));
  EXPECT_FALSE(frame->getGPSECEF(v));
  EXPECT_EQ(v, pi::Point3d(-1, -1, -1));
  EXPECT_TRUE(frame->getGPSSigma(v));
  EXPECT_EQ(v, pi::Point3d(12, 3, 4));
  fw::Point2d height;
  EXPECT_TRUE(frame->getGPSHeight(height));
  EXPECT_EQ(height, fw::Point2d(120, 10));
  EXPECT_TRUE(frame->getGPSAttitude(v));
  EXPECT_EQ(v, pi::Point3d(1, 2, 3));

  auto thirteen = makeFrame(std::vector<double>(13, 1.0));
  EXPECT_FALSE(thirteen->hasGPSAttitude());
  EXPECT_FALSE(thirteen->getGPSAttitude(v));
  EXPECT_FALSE(thirteen->getGPSAttitudeSigma(v));
  EXPECT_FALSE(makeFrame(std::vector<double>{1, 2, 3})->getGPSSigma(v));

  auto origin = makeFrame({0, 0, 0, 1, 1, 1});
  EXPECT_TRUE(origin->getGPSECEF(v));
  EXPECT_DOUBLE_EQ(v.x, 6378137.0);
  EXPECT_DOUBLE_EQ(v.y, 0.0);
  EXPECT_DOUBLE_EQ(v.z, 0.0);
  // A position sigma between 10 and 100 is not valid at all; below 10 it is.
  auto weak = makeFrame({0, 0, 0, 50, 1, 1});
  EXPECT_FALSE(weak->getGPSLLA(v));
}

TEST(DIYFrame, Commands) {
  auto frame = makeFrame();
  std::string path;
  frame->call("GetImagePath", &path);
  EXPECT_EQ(path, "/images/7.jpg");
  std::string renamed = "/elsewhere/7.png";
  frame->call("SetImagePath", &renamed);
  frame->call("GetImagePath", &path);
  EXPECT_EQ(path, "/elsewhere/7.png");
  frame->call("SetImagePath", nullptr);  // ignored
  frame->call("GetImagePath", nullptr);
  std::vector<double> gps;
  frame->call("GetGPS", &gps);
  EXPECT_EQ(gps, kGps14);
  std::vector<double> untouched = {42};
  makeFrame(std::vector<double>())->call("GetGPS", &untouched);
  EXPECT_EQ(untouched, std::vector<double>{42});

  frame->setKeyPoints(keypointsAt({{12.5f, 7.25f}}), fw::GImage());
  fw::KeyPointPositionQuery query;
  query.index = 0;
  frame->call("GetKeyPoint", &query);
  EXPECT_EQ(query.x, 12.5);
  EXPECT_EQ(query.y, 7.25);
  fw::KeyPointPositionQuery outside;
  outside.index = 1;
  outside.x = -3;
  frame->call("GetKeyPoint", &outside);
  EXPECT_EQ(outside.x, -3);
  frame->call("Unknown", &outside);
}

TEST(DIYFrame, KeyPointsTakeColoursRaysAndDescriptors) {
  cv::Mat bgr(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
  bgr.at<cv::Vec3b>(100, 200) = cv::Vec3b(10, 20, 30);
  cv::Mat descriptors(2, 4, CV_32FC1);
  for (int i = 0; i < 8; ++i) descriptors.at<float>(i / 4, i % 4) = float(i);
  const auto keypoints = keypointsAt({{200.7f, 100.2f}, {570.f, 115.f}});
  for (int flags : {0, 1}) {
    auto frame = makeFrame(kGps14, fw::GImage(bgr), flags);
    ASSERT_TRUE(frame->setKeyPoints(keypoints, fw::GImage(descriptors)));
    pi::Point3ub colour;
    ASSERT_TRUE(frame->getKeyPointColor(0, colour));
    EXPECT_EQ(colour, flags ? pi::Point3ub(10, 20, 30) : pi::Point3ub(30, 20, 10));
  }
  auto frame = makeFrame(kGps14, fw::GImage(bgr), 1);
  frame->setKeyPoints(keypoints, fw::GImage(descriptors));
  EXPECT_EQ(frame->keyPointCount(), 2);
  cv::Point2f position;
  EXPECT_TRUE(frame->getKeyPointPosition(1, position));
  EXPECT_EQ(position, cv::Point2f(570.f, 115.f));
  EXPECT_EQ(frame->getKeyPoints().size(), 2u);
  std::vector<cv::Point2f> positions;
  EXPECT_TRUE(frame->getKeyPointPositions(positions));
  EXPECT_EQ(positions.size(), 2u);
  const fw::GImage row = frame->getDescriptor(1);
  EXPECT_EQ(row.rows, 1);
  EXPECT_EQ(reinterpret_cast<const float*>(row.data)[0], 4.0f);
  EXPECT_EQ(frame->getDescriptor().rows, 2);
  // Out-of-range indices answer false or empty instead of reading elsewhere.
  EXPECT_FALSE(frame->getKeyPointPosition(2, position));
  EXPECT_FALSE(frame->getKeyPointPosition(-1, position));
  cv::KeyPoint keypoint;
  EXPECT_FALSE(frame->getKeyPoint(5, keypoint));
  pi::Point3ub colour;
  EXPECT_FALSE(frame->getKeyPointColor(2, colour));
  EXPECT_EQ(frame->getDescriptor(2).data, nullptr);
  EXPECT_EQ(frame->getKeyPointObservation(9), 0u);
  fw::Point2d inverseDepth;
  EXPECT_FALSE(frame->getKeyPointInverseDepth(-4, inverseDepth));

  // Without image data every key point is white; outside the image it is black.
  auto blank = makeFrame();
  blank->setKeyPoints(keypoints, fw::GImage());
  EXPECT_TRUE(blank->getKeyPointColor(0, colour));
  EXPECT_EQ(colour, pi::Point3ub(255, 255, 255));
  frame->setKeyPoints(keypointsAt({{-5.f, 3.f}, {640.f, 3.f}}), fw::GImage());
  EXPECT_TRUE(frame->getKeyPointColor(1, colour));
  EXPECT_EQ(colour, pi::Point3ub(0, 0, 0));
}

TEST(DIYFrame, GridSearch) {
  auto frame = makeFrame();
  // 20 x 15 pixel cells. Key points: cell 0, the last cell, the right edge, and a pair close
  // to (100, 100).
  const auto keypoints = keypointsAt(
      {{0.f, 0.f}, {639.f, 479.f}, {640.f, 10.f}, {100.f, 100.f}, {108.f, 100.f}, {119.f, 104.f}});
  frame->setKeyPoints(keypoints, fw::GImage());
  EXPECT_EQ(frame->getFeaturesInArea(0.f, 0.f, 1.f, false), (std::vector<uint64_t>{0}));
  // A key point in the last half cell is still found (it lies inside the image).
  EXPECT_EQ(frame->getFeaturesInArea(639.f, 479.f, 1.f, false), (std::vector<uint64_t>{1}));
  // Nothing lies beyond the image.
  EXPECT_TRUE(frame->getFeaturesInArea(700.f, 10.f, 5.f, false).empty());
  // Square search returns the whole cell; the circle keeps a point at exactly r.
  EXPECT_EQ(frame->getFeaturesInArea(100.f, 100.f, 8.f, false), (std::vector<uint64_t>{3, 4, 5}));
  EXPECT_EQ(frame->getFeaturesInArea(100.f, 100.f, 8.f, true), (std::vector<uint64_t>{3, 4}));
  // Setting key points again replaces the grid.
  frame->setKeyPoints(keypointsAt({{300.f, 300.f}}), fw::GImage());
  EXPECT_TRUE(frame->getFeaturesInArea(100.f, 100.f, 50.f, false).empty());
  EXPECT_EQ(frame->getFeaturesInArea(300.f, 300.f, 1.f, true), (std::vector<uint64_t>{0}));
  EXPECT_TRUE(frame->getFeaturesInArea(NAN, 300.f, 1.f, true).empty());
}

TEST(DIYFrame, ObservationsAndInverseDepth) {
  auto frame = frameWithMapPoints({2.0, 0.05});
  EXPECT_EQ(frame->observationCount(), 2);
  EXPECT_EQ(frame->getObservations(), (fw::ObservationMap{{100, 0}, {101, 1}}));
  EXPECT_EQ(frame->getKeyPointObservation(1), 101u);
  fw::Point2d inverseDepth;
  ASSERT_TRUE(frame->getKeyPointInverseDepth(0, inverseDepth));
  EXPECT_DOUBLE_EQ(inverseDepth.x, 0.5);
  EXPECT_EQ(inverseDepth.y, -1.0);
  EXPECT_FALSE(frame->getKeyPointInverseDepth(1, inverseDepth));

  // The pose moves the camera 1 m towards the first point: depth 1.
  frame->setPose(SE3(fw::Quaternion(), pi::Point3d(0, 0, 1)));
  ASSERT_TRUE(frame->getKeyPointInverseDepth(0, inverseDepth));
  EXPECT_DOUBLE_EQ(inverseDepth.x, 1.0);
  // Turned around (180° about y), the point is behind the camera.
  frame->setPose(SE3(fw::Quaternion(0, 1, 0, 0), pi::Point3d(0, 0, 0)));
  EXPECT_FALSE(frame->getKeyPointInverseDepth(0, inverseDepth));

  // The same map point twice, or a key point that already sees one: refused.
  auto again = std::make_shared<fw::MapPoint>(100, pi::Point3d(0, 0, 3));
  EXPECT_FALSE(frame->addObservation(again, 2, false));
  auto other = std::make_shared<fw::MapPoint>(200, pi::Point3d(0, 0, 3));
  EXPECT_FALSE(frame->addObservation(other, 0, true));
  EXPECT_FALSE(frame->addObservation(other, 99, true));
  EXPECT_EQ(frame->observationCount(), 2);
  EXPECT_TRUE(other->getObservations().empty());
}

TEST(DIYFrame, ErasingAndClearingTellTheMapPoints) {
  auto frame = frameWithMapPoints({2.0, 3.0});
  fw::ObservationMap observations = frame->getObservations();
  ASSERT_EQ(observations.size(), 2u);
  auto point = std::make_shared<fw::MapPoint>(100);
  // A map point that does not know the frame refuses, and nothing changes.
  EXPECT_FALSE(frame->eraseObservation(point, true));
  EXPECT_EQ(frame->observationCount(), 2);
  EXPECT_TRUE(frame->eraseObservation(point, false));
  EXPECT_EQ(frame->getKeyPointObservation(0), 0u);
  EXPECT_FALSE(frame->eraseObservation(point, false));
  EXPECT_TRUE(frame->clearObservations());
  EXPECT_EQ(frame->observationCount(), 0);
  EXPECT_EQ(frame->getKeyPointObservation(1), 0u);
}

TEST(DIYFrame, MedianDepthIsTheLowerMedianAndCached) {
  auto frame = frameWithMapPoints({4, 1, 3, 2});
  EXPECT_DOUBLE_EQ(frame->getMedianDepth(), 2.0);
  frame->setPose(SE3(fw::Quaternion(), pi::Point3d(0, 0, -10)));
  EXPECT_DOUBLE_EQ(frame->getMedianDepth(), 2.0);
  EXPECT_EQ(makeFrame()->getMedianDepth(), -1.0);
}

TEST(DIYFrame, LinksAreStoredAndErased) {
  auto frame = makeFrame();
  auto link = std::make_shared<fw::FrameLink>();
  EXPECT_TRUE(frame->setFirstLink(3, link));
  EXPECT_EQ(frame->getFirstLink(3), link);
  EXPECT_EQ(frame->getSecondLink(3), nullptr);
  fw::FrameLinks links;
  EXPECT_TRUE(frame->getFirstLinks(links));
  EXPECT_EQ(links.size(), 1u);
  EXPECT_TRUE(frame->eraseFirstLink(3));
  EXPECT_FALSE(frame->eraseFirstLink(3));
  EXPECT_TRUE(frame->setSecondLink(4, link));
  EXPECT_TRUE(frame->clearSecondLinks());
  EXPECT_EQ(frame->getSecondLink(4), nullptr);
}

TEST(DIYFrame, BagOfWordsFromTheSharedVocabulary) {
  vmtest::TempDir dir;
  auto frame = makeFrame();
  cv::Mat descriptors(3, 2, CV_32FC1);
  const float rows[3][2] = {{71, 1}, {69, -2}, {90, 0}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 2; ++c) descriptors.at<float>(r, c) = rows[r][c];
  frame->setKeyPoints(keypointsAt({{1, 1}, {2, 2}, {3, 3}}), fw::GImage(descriptors));

  // No buffer and no file under the configured name: false, and tried again later.
  *fw::Var::instance().GetString("SLAM.Vocabulary", "sift_10_4_tf_l1.bow") =
      (dir / "absent.bow").string();
  fw::BowVector bow;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(frame->getBoWVector(bow));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not open file"), std::string::npos);

  static const std::string bytes = fwtest::flatVocabulary(5, 0).bytes();
  fw::FileResource::registerBuffer(
      (dir / "absent.bow").string(),
      {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  ASSERT_TRUE(frame->getBoWVector(bow));
  EXPECT_EQ(bow, (fw::BowVector{{7, 1.0f}, {9, 0.5f}}));
  fw::FeatureVector features;
  ASSERT_TRUE(frame->getFeatureVector(features));
  // Features are grouped by their node at level 3, which a one-level vocabulary never
  // reaches: they stay under node 0.
  EXPECT_EQ(features, (fw::FeatureVector{{0, {0, 1, 2}}}));
}

TEST(DIYFrame, PoseAndObservationsAcrossThreads) {
  auto frame = frameWithMapPoints({2.0, 3.0, 4.0, 5.0});
  std::vector<int> readsOk(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if (t == 0) {
          frame->setPose(SE3(fw::Quaternion(), pi::Point3d(0, 0, 0.001 * (i % 10))));
        } else if (t == 1) {
          auto point = std::make_shared<fw::MapPoint>(1000, pi::Point3d(0, 0, 1));
          frame->addObservation(point, 3, false);
          frame->eraseObservation(point, false);
        } else {
          fw::Point2d inverseDepth;
          if (frame->getKeyPointInverseDepth(t - 2, inverseDepth)) ++readsOk[size_t(t)];
          frame->getObservations();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(readsOk[2], 500);
  EXPECT_EQ(readsOk[3], 500);
  EXPECT_EQ(frame->observationCount(), 4);
}

TEST(DIYFrame, LocatedFrameForTestsIsConsistent) {
  fwtest::LocatedFrameSpec spec;
  spec.id = 4;
  // Camera 10 m above the origin looking straight down (180° about x).
  spec.pose = SE3(fw::Quaternion(1, 0, 0, 0), pi::Point3d(0, 0, 10));
  const std::vector<pi::Point3d> ground = {{0, 0, 0}, {1, 2, 0.5}, {-3, 1, -1}, {0, 0, 20}};
  auto frame = fwtest::makeLocatedFrame(spec, ground);
  ASSERT_EQ(frame->keyPointCount(), 3);  // the last point is above the camera
  const fw::ObservationMap observations = frame->getObservations();
  EXPECT_EQ(observations.size(), 3u);
  for (const auto& [mapPointId, index] : observations) {
    const pi::Point3d world = ground[mapPointId - 4000000];
    fw::Point2d inverseDepth;
    ASSERT_TRUE(frame->getKeyPointInverseDepth(int(index), inverseDepth));
    EXPECT_NEAR(1.0 / inverseDepth.x, 10 - world.z, 1e-9);
    // Lifting the key point with its depth lands on the map point.
    cv::Point2f pixel;
    ASSERT_TRUE(frame->getKeyPointPosition(int(index), pixel));
    const pi::Point3d ray = frame->getCamera().UnProject(fw::Point2d(pixel.x, pixel.y));
    const double depth = 1.0 / inverseDepth.x;
    const pi::Point3d lifted =
        frame->getPoseSE3().transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, depth));
    EXPECT_NEAR(lifted.x, world.x, 1e-4);
    EXPECT_NEAR(lifted.y, world.y, 1e-4);
    EXPECT_NEAR(lifted.z, world.z, 1e-4);
  }
  pi::Point3d lla;
  EXPECT_TRUE(frame->getGPSLLA(lla));
  EXPECT_TRUE(frame->hasGPSAttitude());
}
