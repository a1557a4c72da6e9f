#include "dataset.h"

#include "test_images.h"

#include "framework/frame_image_decoding.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>

namespace {

// The digest as the system's md5sum tool computes it, independent of our code.
std::string md5sum(const std::filesystem::path& path) {
  std::string command = "md5sum '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  char digest[33] = {};
  size_t read = fread(digest, 1, 32, pipe);
  pclose(pipe);
  return std::string(digest, read);
}

std::shared_ptr<VornMapperFrame> frameFor(const std::filesystem::path& image,
                                          std::vector<double> calibration) {
  return std::make_shared<VornMapperFrame>(0, image.string(), 1.0, std::vector<double>{},
                                           std::move(calibration));
}

TEST(LoadImage, NamesTheFrameByTheMd5OfItsFile) {
  vmtest::TempDir dir;
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 64, 48, 11);
  auto frame = frameFor(image, {64, 48, 50, 50, 32, 24});
  ASSERT_TRUE(loadImage(*frame));
  EXPECT_EQ(frame->loadState.load(), VornMapperFrame::kLoaded);
  EXPECT_EQ(frame->name, md5sum(image));
  EXPECT_EQ(frame->name.size(), 32u);

  // A name given before loading stays.
  auto named = frameFor(image, {64, 48, 50, 50, 32, 24});
  named->name = "survey_0001";
  ASSERT_TRUE(loadImage(*named));
  EXPECT_EQ(named->name, "survey_0001");

  // The name comes from the bytes even when they are not an image.
  std::ofstream(dir / "abc.jpg") << "abc";
  auto text = frameFor(dir / "abc.jpg", {64, 48, 50, 50, 32, 24});
  EXPECT_FALSE(loadImage(*text));
  EXPECT_EQ(text->name, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(LoadImage, FitsTheCalibrationToTheImageSize) {
  vmtest::TempDir dir;
  // A 400 x 300 image with a 400 x 225 calibration: cropped to 300 wide, then scaled.
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 400, 300, 5);
  auto frame = frameFor(image, {400, 225, 300, 300, 200, 112.5, 0.1, 0.2, 0.3, 0.4, 0.5});
  ASSERT_TRUE(loadImage(*frame));
  std::vector<double> fitted = frame->getCamera(0).getParameters();
  std::vector<double> expected = {400, 300, 400, 400, 200, 150, 0.1, 0.2, 0.3, 0.4, 0.5};
  ASSERT_EQ(fitted.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(fitted[i], expected[i], 1e-9) << i;

  // A calibration of the image's own size is left as it is.
  auto exact = frameFor(image, {400, 300, 310, 305, 201, 149});
  fw::Camera before = exact->getCamera(0);
  ASSERT_TRUE(loadImage(*exact));
  EXPECT_EQ(exact->getCamera(0).impl(), before.impl());
}

// Writes the image in the format of the extension; false when OpenCV cannot encode it so.
bool writeImage(const std::filesystem::path& path, const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  if (!cv::imencode(path.extension().string(), image, bytes)) return false;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return true;
}

// The loaded frame's pixel at (0, 0) as B, G, R; the image must be 8-bit BGR.
cv::Vec3b loadedPixel(const std::filesystem::path& path, int columns, int rows) {
  auto frame = frameFor(path, {double(columns), double(rows), 30, 30, columns / 2.0, rows / 2.0});
  EXPECT_TRUE(loadImage(*frame)) << path;
  fw::GImage image = frame->getImage(0, 0);
  EXPECT_EQ(image.type, CV_8UC3) << path;
  EXPECT_EQ(image.cols, columns) << path;
  EXPECT_EQ(image.rows, rows) << path;
  if (image.type != CV_8UC3 || image.empty()) return {};
  return *reinterpret_cast<const cv::Vec3b*>(image.data);
}

void expectNear(const cv::Vec3b& got, const cv::Vec3b& want, const std::string& what) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 1) << what << " channel " << c;
}

TEST(LoadImage, ConvertsEveryLayoutToEightBitBgr) {
  vmtest::TempDir dir;
  struct Case {
    const char* name;
    cv::Mat image;
    cv::Vec3b expected;
  };
  const std::vector<Case> cases = {
      {"grey.jpg", cv::Mat(30, 40, CV_8UC1, cv::Scalar(90)), {90, 90, 90}},
      {"grey.png", cv::Mat(30, 40, CV_8UC1, cv::Scalar(200)), {200, 200, 200}},
      // 16 bits keep their high byte: 40000 / 256 = 156.
      {"grey16.png", cv::Mat(30, 40, CV_16UC1, cv::Scalar(40000)), {156, 156, 156}},
      {"grey16.tif", cv::Mat(30, 40, CV_16UC1, cv::Scalar(40000)), {156, 156, 156}},
      {"colour16.png", cv::Mat(30, 40, CV_16UC3, cv::Scalar(2560, 30000, 65535)), {10, 117, 255}},
      {"colour16.tif", cv::Mat(30, 40, CV_16UC3, cv::Scalar(2560, 30000, 65535)), {10, 117, 255}},
      // Alpha is dropped, whatever it says: the colour stays.
      {"alpha.png", cv::Mat(30, 40, CV_8UC4, cv::Scalar(10, 20, 30, 0)), {10, 20, 30}},
      {"alpha16.png", cv::Mat(30, 40, CV_16UC4, cv::Scalar(2560, 5120, 7680, 65535)), {10, 20, 30}},
      {"colour.bmp", cv::Mat(30, 40, CV_8UC3, cv::Scalar(1, 2, 3)), {1, 2, 3}},
  };
  for (const Case& c : cases) {
    // One dark corner pixel: an image of a single colour is refused as having no content.
    cv::Mat image = c.image.clone();
    image(cv::Rect(39, 29, 1, 1)).setTo(cv::Scalar::all(0));
    ASSERT_TRUE(writeImage(dir / c.name, image)) << c.name;
    expectNear(loadedPixel(dir / c.name, 40, 30), c.expected, c.name);
  }

  // Grey with alpha (PNG colour type 4, grey 77, alpha 200, 5 x 4), as Pillow writes it.
  const unsigned char greyAlpha[] = {
      137, 80, 78,  71,  13,  10,  26,  10, 0,   0, 0,   13, 73, 72,  68,  82,  0,  0,  0,
      5,   0,  0,   0,   4,   8,   4,   0,  0,   0, 236, 58, 61, 203, 0,   0,   0,  18, 73,
      68,  65, 84,  120, 156, 99,  244, 61, 193, 0, 5,   76, 12, 12,  248, 153, 0,  46, 155,
      1,   29, 199, 34,  187, 236, 0,   0,  0,   0, 73,  69, 78, 68,  174, 66,  96, 130};
  const cv::Mat decoded =
      fw::decodeFrameImage(std::vector<unsigned char>(greyAlpha, greyAlpha + sizeof(greyAlpha)));
  ASSERT_EQ(decoded.type(), CV_8UC3);
  expectNear(decoded.at<cv::Vec3b>(3, 4), {77, 77, 77}, "grey_alpha.png");
}

TEST(LoadImage, MissingOrUndecodableFilesMarkTheFrameFailed) {
  vmtest::TempDir dir;
  auto missing = frameFor(dir / "missing.jpg", {64, 48, 50, 50, 32, 24});
  EXPECT_FALSE(loadImage(*missing));
  EXPECT_EQ(missing->loadState.load(), VornMapperFrame::kFailed);
  EXPECT_TRUE(missing->name.empty());

  // A JPEG cut in half after its header.
  auto whole = vmtest::writeTestJpeg(dir / "whole.jpg", 64, 48, 2);
  std::ifstream in(whole, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(dir / "cut.jpg", std::ios::binary) << bytes.substr(0, 20);
  // A folder opens as a file on some systems but never reads as one.
  for (const std::filesystem::path& path : {dir / "cut.jpg", dir.path()}) {
    auto frame = frameFor(path, {64, 48, 50, 50, 32, 24});
    EXPECT_FALSE(loadImage(*frame)) << path;
    EXPECT_EQ(frame->loadState.load(), VornMapperFrame::kFailed);
    EXPECT_TRUE(frame->getImage(0, 0).empty());
    EXPECT_EQ(frame->getCamera(0).width(), 64);
  }
}

}  // namespace
