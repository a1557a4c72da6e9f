#include "framework/undistorter.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <random>

namespace {

cv::Mat randomImage(int rows, int cols, int type) {
  cv::Mat mat(rows, cols, type);
  cv::randu(mat, cv::Scalar::all(0), cv::Scalar::all(255));
  return mat;
}

}  // namespace

TEST(Undistorter, IdenticalCamerasCopyEveryPixel) {
  // A distorted camera whose unprojection and projection do not quite cancel would shift
  // columns by a pixel without snapping; the pinhole pair below has rounding noise too.
  const fw::Camera camera(std::vector<double>{64, 48, 37.3, 41.9, 31.7, 23.3});
  testing::internal::CaptureStderr();
  const fw::Undistorter undistorter(camera, camera);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed,
            "Undistorter:\n    Camera IN : PinHole:[64,48,37.3,41.9,31.7,23.3]\n"
            "    Camera OUT: PinHole:[64,48,37.3,41.9,31.7,23.3]\n\n");
  const cv::Mat input = randomImage(48, 64, CV_8UC3);
  fw::GImage output;
  ASSERT_TRUE(undistorter.undistort(fw::GImage(input), output));
  EXPECT_EQ(cv::norm(input, cv::Mat(output), cv::NORM_INF), 0);
}

TEST(Undistorter, ShiftedPrincipalPointMovesThePicture) {
  // Camera out sees the same rays 2.5 pixels further right: output (x, y) takes input
  // (x - 2.5, y + 1), truncated toward the origin.
  testing::internal::CaptureStdout();
  const fw::Camera in(std::vector<double>{20, 10, 100, 100, 10, 5});
  const fw::Camera out(std::vector<double>{20, 10, 100, 100, 12.5, 4});
  const fw::Undistorter undistorter(in, out);
  testing::internal::GetCapturedStdout();
  const cv::Mat input = randomImage(10, 20, CV_8UC1);
  fw::GImage output;
  ASSERT_TRUE(undistorter.undistort(fw::GImage(input), output));
  const cv::Mat result = output;
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 20; ++x) {
      const double sx = x - 2.5, sy = y + 1;
      const unsigned char expected =
          sx >= 0 && sy < 10 ? input.at<unsigned char>(int(sy), int(sx)) : 0;
      EXPECT_EQ(result.at<unsigned char>(y, x), expected) << x << "," << y;
    }
  }
}

TEST(Undistorter, RemovesLensDistortionLikeTheModel) {
  testing::internal::CaptureStdout();
  const fw::Camera distorted(std::vector<double>{80, 60, 70, 70, 40, 30, -0.3, 0.1, 0, 0, 0});
  const fw::Camera pinhole(std::vector<double>{80, 60, 70, 70, 40, 30});
  const fw::Undistorter undistorter(distorted, pinhole);
  testing::internal::GetCapturedStdout();
  // Each input pixel carries its own coordinates, so the output says where it came from.
  cv::Mat input(60, 80, CV_32FC2);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) input.at<cv::Vec2f>(y, x) = cv::Vec2f(float(x), float(y));
  fw::GImage output;
  ASSERT_TRUE(undistorter.undistort(fw::GImage(input), output));
  const cv::Mat result = output;
  for (int y = 0; y < 60; y += 7) {
    for (int x = 0; x < 80; x += 9) {
      // Where the pinhole ray of (x, y) lands in the distorted camera, by hand.
      const double xn = (x - 40) / 70.0, yn = (y - 30) / 70.0, r2 = xn * xn + yn * yn;
      const double radial = 1 - 0.3 * r2 + 0.1 * r2 * r2;
      const double qx = 70 * radial * xn + 40, qy = 70 * radial * yn + 30;
      const cv::Vec2f source = result.at<cv::Vec2f>(y, x);
      if (qx >= 0 && qx < 80 && qy >= 0 && qy < 60) {
        EXPECT_EQ(source[0], float(int(qx)));
        EXPECT_EQ(source[1], float(int(qy)));
      } else {
        EXPECT_EQ(source, cv::Vec2f(0, 0));
      }
    }
  }
}

TEST(Undistorter, RefusesImagesOfAnotherSize) {
  testing::internal::CaptureStdout();
  const fw::Camera camera(std::vector<double>{20, 10, 100, 100, 10, 5});
  const fw::Undistorter undistorter(camera, camera);
  testing::internal::GetCapturedStdout();
  const fw::GImage wrong(fw::GImage(11, 20, CV_8UC3));
  fw::GImage output;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(undistorter.undistort(wrong, output));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "input image size differs from expected input size! Not undistorting.\n");
  EXPECT_EQ(output.data, wrong.data);
}

TEST(Undistorter, InvalidCameraLeavesItNotReady) {
  testing::internal::CaptureStdout();
  const fw::Undistorter undistorter(fw::Camera(std::vector<double>{20, 10, 0, 100, 10, 5}),
                                    fw::Camera(std::vector<double>{20, 10, 100, 100, 10, 5}));
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("Undistorter:"), std::string::npos);
  EXPECT_FALSE(undistorter.isReady());
  const fw::GImage input(10, 20, CV_8UC1);
  fw::GImage output;
  EXPECT_FALSE(undistorter.undistort(input, output));
  EXPECT_EQ(output.data, input.data);
}
