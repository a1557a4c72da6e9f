#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace {

// Smooth colour ramps over a sharp edge in brightness at column 100: content a reduction must
// keep in place.
cv::Mat scene(int cols, int rows) {
  cv::Mat image(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x)
      image.at<cv::Vec3b>(y, x) =
          cv::Vec3b(uchar(x < 100 ? 40 : 200), uchar(x * 255 / cols), uchar(y * 255 / rows));
  return image;
}

std::vector<unsigned char> encoded(const cv::Mat& image, const char* extension) {
  std::vector<unsigned char> bytes;
  cv::imencode(extension, image, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
  return bytes;
}

// Mean of each factor x factor block of the source, partial blocks at the edges included.
cv::Mat blockMeans(const cv::Mat& image, int factor) {
  cv::Mat out((image.rows + factor - 1) / factor, (image.cols + factor - 1) / factor, CV_8UC3);
  for (int y = 0; y < out.rows; ++y)
    for (int x = 0; x < out.cols; ++x) {
      const cv::Rect block =
          cv::Rect(x * factor, y * factor, factor, factor) & cv::Rect(0, 0, image.cols, image.rows);
      const cv::Scalar m = cv::mean(image(block));
      out.at<cv::Vec3b>(y, x) =
          cv::Vec3b(cv::saturate_cast<uchar>(m[0]), cv::saturate_cast<uchar>(m[1]),
                    cv::saturate_cast<uchar>(m[2]));
    }
  return out;
}

double meanAbsoluteDifference(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat d;
  cv::absdiff(a, b, d);
  const cv::Scalar m = cv::mean(d);
  return (m[0] + m[1] + m[2]) / 3.0;
}

}  // namespace

TEST(FrameImageDecoding, AReducedJpegIsTheBlockMeanOfTheFullDecodeInPlace) {
  // 1001 x 751: the last column and row of blocks are partial.
  const std::vector<unsigned char> bytes = encoded(scene(1001, 751), ".jpg");
  const cv::Mat full = fw::decodeFrameImage(bytes);
  for (int factor : {1, 2, 4, 8}) {
    SCOPED_TRACE(factor);
    const cv::Mat reduced = fw::decodeFrameImageReduced(bytes, factor);
    ASSERT_EQ(reduced.type(), CV_8UC3);
    ASSERT_EQ(reduced.cols, (1001 + factor - 1) / factor);
    ASSERT_EQ(reduced.rows, (751 + factor - 1) / factor);
    const cv::Mat expected = blockMeans(full, factor);
    EXPECT_LT(meanAbsoluteDifference(reduced, expected), 1.0);
    // The edge stays between the same blocks: no half-pixel shift.
    const int edge = 100 / factor;
    if (100 % factor == 0) {
      EXPECT_LT(reduced.at<cv::Vec3b>(10, edge - 1)[0], 80);
      EXPECT_GT(reduced.at<cv::Vec3b>(10, edge)[0], 160);
    }
  }
}

TEST(FrameImageDecoding, OtherFormatsAreReducedByTheSameRuleAfterAWholeDecode) {
  // A 16-bit grey PNG: three equal channels of the high bytes, then block means.
  cv::Mat grey(37, 50, CV_16UC1);
  cv::randu(grey, 0, 65535);
  std::vector<unsigned char> bytes;
  cv::imencode(".png", grey, bytes);
  const cv::Mat full = fw::decodeFrameImage(bytes);
  ASSERT_EQ(full.type(), CV_8UC3);
  const cv::Mat reduced = fw::decodeFrameImageReduced(bytes, 4);
  ASSERT_EQ(reduced.size(), cv::Size(13, 10));
  cv::Mat d;
  cv::absdiff(reduced, blockMeans(full, 4), d);
  double largest = 0;
  cv::minMaxLoc(d.reshape(1), nullptr, &largest);
  EXPECT_LE(largest, 1.0);
}

TEST(FrameImageDecoding, UnreadableBytesAndUnsupportedFactors) {
  const std::vector<unsigned char> junk = {0xFF, 0xD8, 0xFF, 0x00, 0x12};
  EXPECT_TRUE(fw::decodeFrameImageReduced(junk, 4).empty());
  EXPECT_TRUE(fw::decodeFrameImageReduced({}, 2).empty());
  const std::vector<unsigned char> bytes = encoded(scene(64, 48), ".jpg");
  for (int factor : {0, 3, 16, -2})
    EXPECT_THROW(fw::decodeFrameImageReduced(bytes, factor), std::invalid_argument) << factor;
}

TEST(FrameImageDecoding, TheReductionIsTheLargestPowerOfTwoWithinTheAsked) {
  EXPECT_EQ(fw::decodeReductionFor(0.25), 1);
  EXPECT_EQ(fw::decodeReductionFor(1.99), 1);
  EXPECT_EQ(fw::decodeReductionFor(2.0), 2);
  EXPECT_EQ(fw::decodeReductionFor(3.9), 2);
  EXPECT_EQ(fw::decodeReductionFor(4.0), 4);
  EXPECT_EQ(fw::decodeReductionFor(7.5), 4);
  EXPECT_EQ(fw::decodeReductionFor(40.0), 8);
}
