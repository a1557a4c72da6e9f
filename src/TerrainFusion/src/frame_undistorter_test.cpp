#include "src/TerrainFusion/src/frame_undistorter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

fw::Camera openCvCamera(double k1) {
  return fw::Camera(std::vector<double>{40, 30, 35, 35, 19.5, 14.5, k1, 0.0, 0.0, 0.0, 0.0});
}

TEST(FrameUndistorter, MapsAreBuiltOncePerCameraRebuiltForAnotherAndRefuseOtherSizes) {
  FrameUndistorter undistorter;
  const cv::Mat image(30, 40, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat seenFirst, seenAgain, seenOther;
  const cv::Mat first = undistorter.undistort(openCvCamera(-0.2), image, seenFirst);
  ASSERT_EQ(first.size(), image.size());
  EXPECT_EQ(cv::norm(first, image, cv::NORM_INF), 0.0);  // the edge is continued, not black
  undistorter.undistort(openCvCamera(-0.2), image, seenAgain);
  EXPECT_EQ(seenAgain.data, seenFirst.data);
  undistorter.undistort(openCvCamera(0.3), image, seenOther);
  EXPECT_NE(seenOther.data, seenFirst.data);
  // Barrel and pincushion distortion leave different margins without a source.
  EXPECT_NE(cv::countNonZero(seenOther), cv::countNonZero(seenFirst));
  EXPECT_EQ(seenFirst.at<uchar>(15, 20), 255);  // the centre always has one
  // No pinhole part, or an image of another size: nothing.
  EXPECT_TRUE(undistorter.undistort(fw::Camera(), image, seenAgain).empty());
  EXPECT_TRUE(undistorter.undistort(openCvCamera(0.3), image.rowRange(0, 29), seenAgain).empty());
}

// Workers with frames of two cameras: each image is undistorted with its own camera's maps.
TEST(FrameUndistorter, ThreadsWithDifferentCamerasEachGetTheirOwnMaps) {
  FrameUndistorter undistorter;
  const cv::Mat image(30, 40, CV_8UC3, cv::Scalar::all(50));
  cv::Mat expected[2];
  for (int c = 0; c < 2; ++c) {
    FrameUndistorter alone;
    alone.undistort(openCvCamera(c == 0 ? -0.2 : 0.3), image, expected[c]);
  }
  std::vector<char> same(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      cv::Mat seen;
      undistorter.undistort(openCvCamera(t % 2 == 0 ? -0.2 : 0.3), image, seen);
      same[t] = cv::norm(seen, expected[t % 2], cv::NORM_INF) == 0.0;
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(same[t]) << t;
}

}  // namespace
