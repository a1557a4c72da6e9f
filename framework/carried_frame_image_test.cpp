#include "framework/carried_frame_image.h"

#include "framework/diy_frame.h"
#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A frame of a 101 x 75 file carrying `image` as its copy reduced by `reduction`.
std::shared_ptr<MapFrame> carrying(const cv::Mat& image, int reduction) {
  auto frame =
      std::make_shared<MapFrame>(1, 0.0, fw::GImage(), "frame.jpg",
                                 fw::Camera({101, 75, 90, 90, 50, 37}), std::vector<double>(), 1);
  frame->setReducedImage(fw::GImage(image), reduction);
  return frame;
}

}  // namespace

TEST(CarriedFrameImage, ACopyStandsInForTheFileAtAnyMultipleOfItsReduction) {
  const cv::Size camera(101, 75);
  cv::Mat half(38, 51, CV_8UC3);
  cv::randu(half, 0, 256);
  auto frame = carrying(half, 2);
  const cv::Mat same = fw::carriedFrameImage(*frame, camera, 2);
  EXPECT_EQ(same.data, half.data) << "the copy itself, not a copy of it";
  const cv::Mat quarter = fw::carriedFrameImage(*frame, camera, 4);
  EXPECT_EQ(cv::norm(quarter, fw::reduceFrameImage(half, 2), cv::NORM_INF), 0.0);
  EXPECT_EQ(fw::carriedFrameImage(*frame, camera, 8).size(), cv::Size(13, 10));
}

TEST(CarriedFrameImage, NoCopyThatDoesNotFit) {
  const cv::Size camera(101, 75);
  const cv::Mat half(38, 51, CV_8UC3, cv::Scalar::all(5));
  struct Case {
    const char* what;
    std::shared_ptr<MapFrame> frame;
    int factor;
    cv::Size camera;
  };
  const Case cases[] = {
      {"a finer reduction asked", carrying(half, 2), 1, camera},
      {"no multiple of the copy's", carrying(cv::Mat(25, 34, CV_8UC3), 3), 4, camera},
      {"a whole image", carrying(cv::Mat(75, 101, CV_8UC3), 1), 2, camera},
      {"another camera's size", carrying(half, 2), 2, cv::Size(100, 75)},
      {"no camera size", carrying(half, 2), 2, cv::Size()},
      {"not 8-bit colour", carrying(cv::Mat(38, 51, CV_8UC1), 2), 2, camera},
      {"nothing carried", carrying(cv::Mat(), 2), 2, camera},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(fw::carriedFrameImage(*c.frame, c.camera, c.factor).empty());
  }
  fw::MapFrame plain(2, 0.0);  // answers no command
  EXPECT_TRUE(fw::carriedFrameImage(plain, camera, 2).empty());
}
