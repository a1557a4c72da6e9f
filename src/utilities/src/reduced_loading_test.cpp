// Frames decoded reduced to the consumer's working side: the factor chosen, the pixels, the
// calibration kept at the file's size and the memory reserved.
#include "dataset.h"

#include "test_images.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>

namespace {

std::shared_ptr<VornMapperFrame> frameFor(const std::filesystem::path& image,
                                          std::vector<double> calibration) {
  return std::make_shared<VornMapperFrame>(0, image.string(), 1.0, std::vector<double>{},
                                           std::move(calibration));
}

ImageLoadOptions workingAt(int longSide) {
  ImageLoadOptions options;
  options.workingLongSide = longSide;
  return options;
}

int reductionOf(VornMapperFrame& frame) {
  int reduction = -1;
  frame.call("GetImageReduction", &reduction);
  return reduction;
}

// 1003 x 750: the odd width checks that a partial block still makes a column.
const std::vector<double> kCalibration = {1003, 750, 800, 800, 501.5, 375, 0.01, 0, 0, 0, 0};

TEST(ReducedLoading, TheFactorLeavesTheLongSideNoShorterThanTheWorkingSide) {
  vmtest::TempDir dir;
  const auto path = vmtest::writeTestJpeg(dir / "a.jpg", 1003, 750, 3);
  struct Case {
    int workingSide, reduction, columns, rows;
  };
  // 0 decodes whole; 600 and 1003 leave less than a halving; 2.5 -> 2; 5.01 -> 4; 100 -> 8.
  for (const Case& c : {Case{0, 1, 1003, 750}, Case{600, 1, 1003, 750}, Case{1003, 1, 1003, 750},
                        Case{400, 2, 502, 375}, Case{200, 4, 251, 188}, Case{100, 8, 126, 94}}) {
    auto frame = frameFor(path, kCalibration);
    ASSERT_TRUE(loadImage(*frame, workingAt(c.workingSide), nullptr)) << c.workingSide;
    const fw::GImage image = frame->getImage(0, 0);
    EXPECT_EQ(image.cols, c.columns) << c.workingSide;
    EXPECT_EQ(image.rows, c.rows) << c.workingSide;
    EXPECT_EQ(image.type, CV_8UC3) << c.workingSide;
    EXPECT_EQ(reductionOf(*frame), c.reduction) << c.workingSide;
    // The calibration stays the file's, whatever size the pixels were decoded at.
    EXPECT_EQ(frame->getCamera(0).getParameters(), kCalibration) << c.workingSide;
  }
}

// A JPEG of blurred noise, textured like a photograph of the ground.
std::filesystem::path writePhotoLikeJpeg(const std::filesystem::path& path, int columns, int rows) {
  // Grey detail on a smooth colour: chroma, stored at half resolution, carries little of it.
  cv::Mat noise(rows, columns, CV_8UC1), grey;
  cv::RNG(12).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, grey, cv::Size(0, 0), 2.0);
  cv::normalize(grey, grey, 40, 215, cv::NORM_MINMAX);
  cv::Mat image;
  cv::merge(std::vector<cv::Mat>{grey - 20, grey, grey + 20}, image);
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

TEST(ReducedLoading, PixelsAreTheAreaMeansOfTheWholeImage) {
  vmtest::TempDir dir;
  const auto path = writePhotoLikeJpeg(dir / "a.jpg", 1000, 752);
  auto whole = frameFor(path, {1000, 752, 800, 800, 500, 376});
  ASSERT_TRUE(loadImage(*whole, workingAt(0), nullptr));
  auto reduced = frameFor(path, {1000, 752, 800, 800, 500, 376});
  ASSERT_TRUE(loadImage(*reduced, workingAt(250), nullptr));
  ASSERT_EQ(reductionOf(*reduced), 4);
  cv::Mat expected;
  cv::resize(cv::Mat(whole->getImage(0, 0)), expected, cv::Size(250, 188), 0, 0, cv::INTER_AREA);
  const cv::Mat got = reduced->getImage(0, 0);
  ASSERT_EQ(got.size(), expected.size());
  cv::Mat difference;
  cv::absdiff(got, expected, difference);
  // The decoder's scaled inverse transform differs from averaging by a fraction of a level; a
  // block shifted by one pixel or a wrong factor would differ by several.
  const double mean = cv::mean(difference.reshape(1))[0];
  EXPECT_LT(mean, 1.0);
  // Against the whole image shifted by one pixel first, the difference is far larger.
  cv::Mat shifted;
  cv::resize(cv::Mat(whole->getImage(0, 0))(cv::Rect(1, 0, 996, 752)), shifted, cv::Size(249, 188),
             0, 0, cv::INTER_AREA);
  cv::absdiff(got(cv::Rect(0, 0, 249, 188)), shifted, difference);
  EXPECT_GT(cv::mean(difference.reshape(1))[0], 2 * mean) << mean;
}

TEST(ReducedLoading, TheCalibrationIsFittedToTheFileNotToTheReducedPixels) {
  vmtest::TempDir dir;
  const auto path = vmtest::writeTestJpeg(dir / "a.jpg", 800, 600, 4);
  // A calibration made for twice the file's size is scaled to the file, 800 x 600.
  auto frame = frameFor(path, {1600, 1200, 1400, 1400, 800, 600});
  ASSERT_TRUE(loadImage(*frame, workingAt(200), nullptr));
  EXPECT_EQ(reductionOf(*frame), 4);
  EXPECT_EQ(frame->getImage(0, 0).cols, 200);
  const std::vector<double> fitted = frame->getCamera(0).getParameters();
  ASSERT_GE(fitted.size(), 6u);
  EXPECT_NEAR(fitted[0], 800, 1e-9);
  EXPECT_NEAR(fitted[1], 600, 1e-9);
  EXPECT_NEAR(fitted[2], 700, 1e-9);
  EXPECT_NEAR(fitted[4], 400, 1e-9);
}

TEST(ReducedLoading, TheBudgetHoldsTheReducedBytes) {
  vmtest::TempDir dir;
  const auto path = vmtest::writeTestJpeg(dir / "a.jpg", 1003, 750, 5);
  DecodeBudget budget(int64_t{1} << 30);
  auto frame = frameFor(path, kCalibration);
  ASSERT_TRUE(loadImage(*frame, workingAt(400), &budget));
  EXPECT_EQ(frame->decodeReservation.load(), int64_t{502} * 375 * 3);
  EXPECT_EQ(budget.inUse(), int64_t{502} * 375 * 3);
}

TEST(ReducedLoading, AFileWhoseHeaderIsNotReadIsDecodedWhole) {
  vmtest::TempDir dir;
  // A portable pixmap: OpenCV decodes it, the header reader does not know it, so its real
  // size is known only from a whole decode.
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(cv::imencode(".ppm", cv::Mat(300, 400, CV_8UC3, cv::Scalar(7, 8, 9)), bytes));
  std::ofstream(dir / "a.ppm", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  auto frame = frameFor(dir / "a.ppm", {400, 300, 300, 300, 200, 150});
  ASSERT_TRUE(loadImage(*frame, workingAt(50), nullptr));
  EXPECT_EQ(reductionOf(*frame), 1);
  EXPECT_EQ(frame->getImage(0, 0).cols, 400);
}

TEST(ReducedLoading, ReplacingOrReleasingTheImageMakesItWhole) {
  vmtest::TempDir dir;
  const auto path = vmtest::writeTestJpeg(dir / "a.jpg", 800, 600, 6);
  auto frame = frameFor(path, {800, 600, 700, 700, 400, 300});
  ASSERT_TRUE(loadImage(*frame, workingAt(200), nullptr));
  ASSERT_EQ(reductionOf(*frame), 4);
  frame->call("ReleaseImage", nullptr);
  EXPECT_EQ(reductionOf(*frame), 1);
  frame->setReducedImage(fw::GImage(cv::Mat(150, 200, CV_8UC3)), 4);
  ASSERT_EQ(reductionOf(*frame), 4);
  frame->setImage(fw::GImage(cv::Mat(600, 800, CV_8UC3)), 0);
  EXPECT_EQ(reductionOf(*frame), 1);
  // A null pointer is ignored, like the other commands' values.
  frame->call("GetImageReduction", nullptr);
}

}  // namespace
