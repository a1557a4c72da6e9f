#include "src/VornMapping/src/back_end_images.h"

#include "framework/diy_frame.h"
#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<MapFrame> locatedFrame(uint64_t id) {
  return std::make_shared<MapFrame>(id, 0.0, fw::GImage(), "frame.jpg",
                                    fw::Camera({101, 75, 90, 90, 50, 37}), std::vector<double>(),
                                    1);
}

int reductionOf(fw::MapFrame& frame) {
  int reduction = 0;
  frame.call("GetImageReduction", &reduction);
  return reduction;
}

}  // namespace

TEST(BackEndImages, ALocatedFrameGetsItsCopyReducedOnceMore) {
  cv::Mat image(38, 51, CV_8UC3);  // the file's 101 x 75 reduced by 2, rounded up
  cv::randu(image, 0, 256);
  BackEndImages images;
  images.keep(7, image, 2);
  auto frame = locatedFrame(7);
  images.handOver(*frame);
  EXPECT_EQ(reductionOf(*frame), 2 * BackEndImages::kFurtherReduction);
  const cv::Mat carried(frame->getImage(0, 0));
  const cv::Mat expected = fw::reduceFrameImage(image, BackEndImages::kFurtherReduction);
  ASSERT_EQ(carried.size(), cv::Size(26, 19));
  EXPECT_EQ(cv::norm(carried, expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(images.size(), 0u);

  // A frame that cannot carry it, or a second hand-over, changes nothing.
  fw::MapFrame plain(7, 0.0);
  images.keep(7, image, 2);
  images.handOver(plain);
  images.handOver(*frame);
  EXPECT_EQ(images.size(), 0u);
}

TEST(BackEndImages, CopiesOfFramesPassedOverGoWithTheNextLocatedOne) {
  BackEndImages images;
  const cv::Mat image(20, 30, CV_8UC3, cv::Scalar(9, 8, 7));
  for (uint64_t id : {1, 2, 3, 4}) images.keep(id, image, 1);
  images.keep(5, cv::Mat(), 1);                 // nothing decoded: nothing kept
  images.keep(6, cv::Mat(20, 30, CV_8UC1), 1);  // not a frame image
  EXPECT_EQ(images.size(), 4u);

  auto unknown = locatedFrame(9);
  images.handOver(*unknown);
  EXPECT_EQ(images.size(), 4u) << "a frame without a copy drops none";
  EXPECT_EQ(reductionOf(*unknown), 1);

  auto third = locatedFrame(3);
  images.handOver(*third);
  EXPECT_EQ(images.size(), 1u) << "frames 1 and 2 were passed over";
  EXPECT_EQ(cv::Mat(third->getImage(0, 0)).at<cv::Vec3b>(0, 0), cv::Vec3b(9, 8, 7));
  images.clear();
  EXPECT_EQ(images.size(), 0u);
}
