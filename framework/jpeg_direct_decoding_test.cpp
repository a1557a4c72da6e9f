#include "framework/jpeg_direct_decoding.h"

#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace {

// Noise over colour ramps, an odd size: partial MCUs at the right and bottom, detail that
// every scaled inverse DCT must keep the same way OpenCV's decoder does.
cv::Mat texturedScene(int cols, int rows) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::randu(image, 0, 256);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      p[0] = uchar((p[0] + x) / 2), p[1] = uchar((p[1] + y) / 2);
    }
  return image;
}

std::vector<unsigned char> jpeg(const cv::Mat& image, std::vector<int> params = {}) {
  params.insert(params.end(), {cv::IMWRITE_JPEG_QUALITY, 90});
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes, params);
  return bytes;
}

int openCvFlag(int factor) {
  switch (factor) {
    case 1:
      return cv::IMREAD_COLOR;
    case 2:
      return cv::IMREAD_REDUCED_COLOR_2;
    case 4:
      return cv::IMREAD_REDUCED_COLOR_4;
    default:
      return cv::IMREAD_REDUCED_COLOR_8;
  }
}

void expectSameAsOpenCv(const std::vector<unsigned char>& bytes) {
  for (int factor : {1, 2, 4, 8}) {
    SCOPED_TRACE(factor);
    cv::Mat direct;
    ASSERT_TRUE(fw::decodeColourJpegDirectly(bytes, factor, direct));
    const cv::Mat reference =
        cv::imdecode(bytes, openCvFlag(factor) | cv::IMREAD_IGNORE_ORIENTATION);
    ASSERT_EQ(direct.size(), reference.size());
    ASSERT_EQ(direct.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(direct, reference, cv::NORM_INF), 0.0);
  }
}

}  // namespace

TEST(JpegDirectDecoding, GivesOpenCvsPixelsAtEveryFactor) {
  const cv::Mat scene = texturedScene(203, 117);
  {
    SCOPED_TRACE("baseline");
    expectSameAsOpenCv(jpeg(scene));
  }
  {
    SCOPED_TRACE("progressive");
    expectSameAsOpenCv(jpeg(scene, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
  }
  {
    SCOPED_TRACE("restart markers");
    expectSameAsOpenCv(jpeg(scene, {cv::IMWRITE_JPEG_RST_INTERVAL, 3}));
  }
}

TEST(JpegDirectDecoding, DeclinesWhatItDoesNotTakeOnAndLeavesTheOutputAlone) {
  const std::vector<unsigned char> colour = jpeg(texturedScene(64, 48));
  cv::Mat grey(48, 64, CV_8UC1, cv::Scalar(90));
  const std::vector<unsigned char> greyJpeg = jpeg(grey);
  std::vector<unsigned char> truncated(colour.begin(), colour.begin() + colour.size() / 2);
  std::vector<unsigned char> corrupt = colour;
  for (size_t i = corrupt.size() / 2; i < corrupt.size() - 2; i += 7) corrupt[i] ^= 0x5A;
  const std::vector<unsigned char> notJpeg = {0xFF, 0xD8, 0xFF, 0x00, 0x01, 0x02}, empty;

  const cv::Mat untouched(3, 3, CV_8UC3, cv::Scalar(7, 8, 9));
  struct Case {
    const char* what;
    const std::vector<unsigned char>& bytes;
    int factor;
  };
  for (const Case& c :
       {Case{"grey", greyJpeg, 1}, Case{"truncated", truncated, 2}, Case{"corrupt", corrupt, 1},
        Case{"no image", notJpeg, 1}, Case{"empty", empty, 1}, Case{"factor 3", colour, 3}}) {
    SCOPED_TRACE(c.what);
    cv::Mat out = untouched;
    EXPECT_FALSE(fw::decodeColourJpegDirectly(c.bytes, c.factor, out));
    EXPECT_EQ(out.data, untouched.data);
  }
  // A header claiming more pixels than the caller's ceiling is declined before any decoding.
  cv::Mat out = untouched;
  EXPECT_FALSE(fw::decodeColourJpegDirectly(colour, 2, out, 64 * 48 - 1));
  EXPECT_EQ(out.data, untouched.data);
  EXPECT_TRUE(fw::decodeColourJpegDirectly(colour, 2, out, 64 * 48));
}

TEST(JpegDirectDecoding, FilesItDeclinesDecodeAsOpenCvDecodesThem) {
  // The frame decoder falls back to OpenCV: a grey file still becomes three equal channels,
  // a truncated one whatever OpenCV makes of it, never an exception.
  cv::Mat grey(48, 64, CV_8UC1, cv::Scalar(90));
  const cv::Mat fromGrey = fw::decodeFrameImageReduced(jpeg(grey), 2);
  ASSERT_EQ(fromGrey.type(), CV_8UC3);
  EXPECT_EQ(fromGrey.size(), cv::Size(32, 24));
  EXPECT_NEAR(cv::mean(fromGrey)[2], 90.0, 1.0);

  const std::vector<unsigned char> colour = jpeg(texturedScene(64, 48));
  const std::vector<unsigned char> truncated(colour.begin(), colour.begin() + colour.size() / 2);
  const cv::Mat expected =
      cv::imdecode(truncated, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  const cv::Mat decoded = fw::decodeFrameImage(truncated);
  ASSERT_EQ(decoded.empty(), expected.empty());
  if (!expected.empty()) {
    EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
  }
}
