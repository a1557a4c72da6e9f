#include "vorn_mapper_frame.h"

#include "framework/diy_frame.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

namespace {

const std::vector<double> kCalibration = {4000, 3000, 3000, 3000, 2000, 1500, 0, 0, 0, 0, 0};

std::shared_ptr<VornMapperFrame> frameWithGps(std::vector<double> gps) {
  return std::make_shared<VornMapperFrame>(2, "/data/c.jpg", 1701532802.0, std::move(gps),
                                           kCalibration);
}

TEST(VornMapperFrame, IdentityCameraAndCommands) {
  auto frame = frameWithGps({});
  EXPECT_EQ(frame->id, 2u);
  EXPECT_EQ(frame->timestamp, 1701532802.0);
  EXPECT_EQ(frame->type(), "Frame");
  EXPECT_EQ(frame->kind(), 1);
  EXPECT_TRUE(frame->name.empty());

  fw::Camera camera = frame->getCamera(0);
  ASSERT_TRUE(camera.isValid());
  EXPECT_EQ(camera.getParameters(), kCalibration);

  std::string path;
  frame->call("GetImagePath", &path);
  EXPECT_EQ(path, "/data/c.jpg");
  frame->call("GetImagePath", nullptr);

  // Without GPS the caller's vector stays as it was.
  std::vector<double> gps = {1, 2};
  frame->call("GetGPS", &gps);
  EXPECT_EQ(gps, (std::vector<double>{1, 2}));
  frame->call("Unknown", &gps);
}

TEST(VornMapperFrame, ImagesAreSetReleasedAndShared) {
  auto frame = frameWithGps({});
  EXPECT_TRUE(frame->getImage(0, 0).empty());
  cv::Mat pixels(3, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_TRUE(frame->setImage(fw::GImage(pixels), 0));
  fw::GImage image = frame->getImage(0, 0);
  EXPECT_EQ(image.data, pixels.data);
  EXPECT_EQ(image.cols, 4);

  // The second image does not replace the first.
  EXPECT_TRUE(frame->setImage(fw::GImage(cv::Mat(2, 2, CV_8UC1)), 1));
  EXPECT_EQ(frame->getImage(1, 0).cols, 4);

  frame->call("ReleaseImage", nullptr);
  EXPECT_TRUE(frame->getImage(0, 0).empty());
  frame->setImage(fw::GImage(pixels), 0);
  frame->setImage(fw::GImage(), 0);
  EXPECT_TRUE(frame->getImage(0, 0).empty());
  // The released image's copy still holds its pixels.
  EXPECT_EQ(static_cast<cv::Mat>(image).at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
}

TEST(VornMapperFrame, ImageAccessFromSeveralThreadsIsSafe) {
  auto frame = frameWithGps({});
  cv::Mat pixels(8, 8, CV_8UC1, cv::Scalar(9));
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) frame->setImage(i % 2 ? fw::GImage(pixels) : fw::GImage(), 0);
  });
  std::thread releaser([&] {
    for (int i = 0; i < 2000; ++i) frame->call("ReleaseImage", nullptr);
  });
  // Every image read is either empty or whole, never a torn copy.
  int torn = 0;
  for (int i = 0; i < 2000; ++i) {
    fw::GImage image = frame->getImage(0, 0);
    if (!image.empty() && (image.cols != 8 || image.data[0] != 9)) ++torn;
  }
  writer.join();
  releaser.join();
  EXPECT_EQ(torn, 0);
}

TEST(VornMapperFrame, PositionQueriesFollowTheSigmas) {
  auto frame = frameWithGps({114.0, 22.0, 300.0, 0.5, 0.6, 0.7, 120.5, 10.0});
  pi::Point3d lla, sigma;
  fw::Point2d height;
  EXPECT_TRUE(frame->isGPSSigmaValid());
  EXPECT_TRUE(frame->getGPSLLA(lla));
  EXPECT_EQ(lla, pi::Point3d(114.0, 22.0, 300.0));
  EXPECT_TRUE(frame->getGPSSigma(sigma));
  EXPECT_EQ(sigma, pi::Point3d(0.5, 0.6, 0.7));
  EXPECT_TRUE(frame->getGPSHeight(height));
  EXPECT_EQ(height, fw::Point2d(120.5, 10.0));
  EXPECT_FALSE(frame->hasGPSAttitude());

  std::vector<double> gps;
  frame->call("GetGPS", &gps);
  EXPECT_EQ(gps.size(), 8u);

  // A longitude sigma of 12 makes the position unusable, the sigmas still answer.
  auto vague = frameWithGps({114.0, 22.0, 300.0, 12.0, 0.6, 0.7, 200.0, 20.0});
  lla = pi::Point3d(-1, -1, -1);
  pi::Point3d ecef(-1, -1, -1);
  EXPECT_FALSE(vague->getGPSLLA(lla));
  EXPECT_EQ(lla, pi::Point3d(-1, -1, -1));
  EXPECT_FALSE(vague->getGPSECEF(ecef));
  EXPECT_TRUE(vague->getGPSSigma(sigma));
  EXPECT_EQ(sigma.x, 12.0);

  auto none = frameWithGps({});
  EXPECT_FALSE(none->isGPSSigmaValid());
  EXPECT_FALSE(none->getGPSSigma(sigma));
  EXPECT_FALSE(none->getGPSHeight(height));
}

TEST(VornMapperFrame, EarthCentredPosition) {
  pi::Point3d ecef;
  ASSERT_TRUE(frameWithGps({0, 0, 0, 1, 1, 1, 200, 20})->getGPSECEF(ecef));
  EXPECT_NEAR(ecef.x, 6378137.0, 1e-6);
  EXPECT_NEAR(ecef.y, 0.0, 1e-6);
  EXPECT_NEAR(ecef.z, 0.0, 1e-6);
  ASSERT_TRUE(frameWithGps({90, 90, 100, 1, 1, 1, 200, 20})->getGPSECEF(ecef));
  EXPECT_NEAR(ecef.z, 6356752.314245 + 100.0, 1e-3);  // polar radius plus height
  EXPECT_NEAR(ecef.x, 0.0, 1e-6);
  ASSERT_TRUE(frameWithGps({90, 0, 0, 1, 1, 1, 200, 20})->getGPSECEF(ecef));
  EXPECT_NEAR(ecef.y, 6378137.0, 1e-6);
}

TEST(VornMapperFrame, AttitudeLayouts) {
  pi::Point3d attitude, sigma;
  // 14 entries: attitude at 8..10, its sigmas at 11..13, valid while the pitch sigma is not 0.
  auto full = frameWithGps({1, 2, 3, 1, 1, 1, 200, 20, -90, 45, 1, 5, 6, 7});
  EXPECT_TRUE(full->hasGPSAttitude());
  EXPECT_TRUE(full->getGPSAttitude(attitude));
  EXPECT_EQ(attitude, pi::Point3d(-90, 45, 1));
  EXPECT_TRUE(full->getGPSAttitudeSigma(sigma));
  EXPECT_EQ(sigma, pi::Point3d(5, 6, 7));
  fw::Point2d height;
  EXPECT_TRUE(full->getGPSHeight(height));

  auto zeroSigma = frameWithGps({1, 2, 3, 1, 1, 1, 200, 20, -90, 45, 1, 0, 6, 7});
  EXPECT_FALSE(zeroSigma->getGPSAttitude(attitude));
  EXPECT_FALSE(zeroSigma->getGPSAttitudeSigma(sigma));

  // 11 entries: entry 5 is both the third position sigma and the first angle.
  auto eleven = frameWithGps({10, 20, 5, 3, 3, 0.5, 0.1, 0.2, 1, 1, 1});
  EXPECT_TRUE(eleven->getGPSAttitude(attitude));
  EXPECT_EQ(attitude, pi::Point3d(0.5, 0.1, 0.2));
  EXPECT_TRUE(eleven->getGPSAttitudeSigma(sigma));
  EXPECT_EQ(sigma, pi::Point3d(1, 1, 1));
  EXPECT_FALSE(eleven->getGPSHeight(height));

  auto twelve = frameWithGps({10, 20, 5, 3, 3, 3, 0.5, 0.1, 0.2, 25, 1, 1});
  EXPECT_TRUE(twelve->hasGPSAttitude());
  EXPECT_FALSE(twelve->getGPSAttitude(attitude));

  auto thirteen = frameWithGps(std::vector<double>(13, 1.0));
  EXPECT_FALSE(thirteen->hasGPSAttitude());
  EXPECT_FALSE(thirteen->getGPSAttitude(attitude));
}

TEST(VornMapperFrame, AnswersTheGpsQueriesLikeTheFrameworkFrame) {
  // Every length and sigmas on either side of each limit: all but the attitude's usability
  // (each class's own rule, tested above) agree, down to what a refused query leaves alone.
  for (size_t length = 0; length <= 15; ++length) {
    for (double sigma : {0.0, 5.0, 12.0, 25.0, 150.0}) {
      std::vector<double> gps(length, sigma);
      for (size_t i = 0; i < std::min<size_t>(length, 3); ++i) gps[i] = 10.0 + double(i);
      auto ours = frameWithGps(gps);
      MapFrame theirs(2, 0.0, fw::GImage(), "", fw::Camera(kCalibration), gps, 0);
      const std::string layout = std::to_string(length) + " entries of " + std::to_string(sigma);
      pi::Point3d a(-1, -1, -1), b(-1, -1, -1);
      fw::Point2d ha(-1, -1), hb(-1, -1);
      EXPECT_EQ(ours->isGPSSigmaValid(), theirs.isGPSSigmaValid()) << layout;
      EXPECT_EQ(ours->getGPSLLA(a), theirs.getGPSLLA(b)) << layout;
      EXPECT_EQ(a, b) << layout;
      EXPECT_EQ(ours->getGPSSigma(a), theirs.getGPSSigma(b)) << layout;
      EXPECT_EQ(a, b) << layout;
      EXPECT_EQ(ours->getGPSECEF(a), theirs.getGPSECEF(b)) << layout;
      EXPECT_EQ(a, b) << layout;
      EXPECT_EQ(ours->getGPSHeight(ha), theirs.getGPSHeight(hb)) << layout;
      EXPECT_EQ(ha, hb) << layout;
      EXPECT_EQ(ours->hasGPSAttitude(), theirs.hasGPSAttitude()) << layout;
      std::vector<double> outA, outB;
      ours->call("GetGPS", &outA);
      theirs.call("GetGPS", &outB);
      EXPECT_EQ(outA, outB) << layout;
    }
  }
}

}  // namespace
