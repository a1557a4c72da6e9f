#include "dataset.h"

#include "test_images.h"

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

TEST(LoadImage, KeepsGreyAndDeepImagesAsStored) {
  vmtest::TempDir dir;
  cv::Mat grey(30, 40, CV_16UC1, cv::Scalar(1000));
  std::vector<unsigned char> png;
  ASSERT_TRUE(cv::imencode(".png", grey, png));
  std::ofstream(dir / "deep.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), png.size());
  auto frame = frameFor(dir / "deep.png", {40, 30, 30, 30, 20, 15});
  ASSERT_TRUE(loadImage(*frame));
  fw::GImage image = frame->getImage(0, 0);
  EXPECT_EQ(image.type, CV_16UC1);
  EXPECT_EQ(reinterpret_cast<const uint16_t*>(image.data)[0], 1000);
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
