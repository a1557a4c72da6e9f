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

// Each pixel of an image reduced by `factor` from `camera`'s size holds the camera coordinates
// of its centre (float): undistorted, a pixel then holds where its own centre maps to.
cv::Mat coordinatesAt(const fw::Camera& camera, int factor) {
  cv::Mat image((camera.height() + factor - 1) / factor, (camera.width() + factor - 1) / factor,
                CV_32FC3);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x)
      image.at<cv::Vec3f>(y, x) =
          cv::Vec3f(float((x + 0.5) * factor - 0.5), float((y + 0.5) * factor - 0.5), 0.0f);
  return image;
}

TEST(FrameUndistorter, ReducedImagesMapTheirPixelCentresAsTheWholeImageDoes) {
  const fw::Camera camera(
      std::vector<double>{240, 180, 200, 200, 119.5, 89.5, -0.25, 0.05, 0.001, -0.002, 0.0});
  const fw::Camera pinhole(camera.parameters().withoutDistortion());
  FrameUndistorter undistorter;
  for (const int factor : {1, 2, 4, 3}) {
    cv::Mat seen;
    const cv::Mat out = undistorter.undistort(camera, coordinatesAt(camera, factor), seen, factor);
    ASSERT_EQ(out.size(), cv::Size((240 + factor - 1) / factor, (180 + factor - 1) / factor));
    ASSERT_EQ(seen.size(), out.size());
    int checked = 0;
    for (int y = 0; y < out.rows; ++y) {
      for (int x = 0; x < out.cols; ++x) {
        const fw::Point2d q = camera.Project(
            pinhole.UnProject(fw::Point2d((x + 0.5) * factor - 0.5, (y + 0.5) * factor - 0.5)));
        const bool inside = q.x >= -0.5 && q.x < 239.5 && q.y >= -0.5 && q.y < 179.5;
        ASSERT_EQ(seen.at<uchar>(y, x) != 0, inside) << factor << " at " << x << ", " << y;
        // Inside by a reduced pixel, where the bilinear read has both neighbours.
        if (!(q.x > factor && q.x < 239 - 2 * factor && q.y > factor && q.y < 179 - 2 * factor))
          continue;
        const cv::Vec3f got = out.at<cv::Vec3f>(y, x);
        // cv::remap places its reads to 1/32 of a pixel.
        EXPECT_NEAR(got[0], q.x, factor / 16.0) << factor << " at " << x << ", " << y;
        EXPECT_NEAR(got[1], q.y, factor / 16.0) << factor << " at " << x << ", " << y;
        ++checked;
      }
    }
    EXPECT_GT(checked, out.total() / 2) << factor;
  }
  // The maps of each reduction are kept: asking again gives the same mask.
  cv::Mat first, again;
  undistorter.undistort(camera, coordinatesAt(camera, 2), first, 2);
  undistorter.undistort(camera, coordinatesAt(camera, 4), again, 4);
  undistorter.undistort(camera, coordinatesAt(camera, 2), again, 2);
  EXPECT_EQ(again.data, first.data);
  // A factor below 1, or an image of the whole size for a reduction: nothing.
  EXPECT_TRUE(undistorter.undistort(camera, coordinatesAt(camera, 1), again, 0).empty());
  EXPECT_TRUE(undistorter.undistort(camera, coordinatesAt(camera, 1), again, 2).empty());
}

TEST(FrameUndistorter, DistortionBelowTheRemapsPrecisionLeavesTheImageAsItIs) {
  // k1 of 1.4e-4 moves the corners of a 1000 x 750 image by 0.047 pixels: below 1/32 of a
  // pixel at half the size, not at the whole.
  const fw::Camera slight(
      std::vector<double>{1000, 750, 850, 850, 499.5, 374.5, 1.4e-4, 0.0, 0.0, 0.0, 0.0});
  FrameUndistorter undistorter;
  const cv::Mat half(375, 500, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat seen(1, 1, CV_8UC1);
  const cv::Mat same = undistorter.undistort(slight, half, seen, 2);
  EXPECT_EQ(same.data, half.data);
  EXPECT_TRUE(seen.empty());
  const cv::Mat whole(750, 1000, CV_8UC3, cv::Scalar(10, 20, 30));
  const cv::Mat remapped = undistorter.undistort(slight, whole, seen, 1);
  ASSERT_EQ(remapped.size(), whole.size());
  EXPECT_NE(remapped.data, whole.data);
  EXPECT_EQ(cv::countNonZero(seen), int(seen.total()));
  // Another size is still refused.
  EXPECT_TRUE(undistorter.undistort(slight, whole, seen, 2).empty());
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
