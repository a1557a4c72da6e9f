// Frames decoded reduced to the consumer's working side: the factor chosen, the pixels, the
// calibration kept at the file's size and the memory reserved.
#include "dataset.h"

#include "test_images.h"

#include "framework/frame_image_decoding.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>

namespace {

void writeBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Loads the image with the working side; the frame, or null when it did not load.
std::shared_ptr<VornMapperFrame> loaded(const std::filesystem::path& image,
                                        std::vector<double> calibration, int workingSide,
                                        DecodeBudget* budget = nullptr) {
  auto frame = std::make_shared<VornMapperFrame>(0, image.string(), 1.0, std::vector<double>{},
                                                 std::move(calibration));
  ImageLoadOptions options;
  options.workingLongSide = workingSide;
  return loadImage(*frame, options, budget) ? frame : nullptr;
}

int reductionOf(VornMapperFrame& frame) {
  int reduction = -1;
  frame.call("GetImageReduction", &reduction);
  return reduction;
}

TEST(ReducedLoading, TheFactorLeavesTheLongSideNoShorterThanTheWorkingSide) {
  vmtest::TempDir dir;
  // 1003 wide: a partial block at the edge still makes a column.
  const auto path = vmtest::writeTestJpeg(dir / "a.jpg", 1003, 750, 3);
  const std::vector<double> calibration = {1003, 750, 800, 800, 501.5, 375, 0.01, 0, 0, 0, 0};
  struct Case {
    int workingSide, reduction, columns, rows;
  };
  // 0 decodes whole; 600 and 1003 leave less than a halving; 2.5 -> 2; 5.01 -> 4; 10 -> 8.
  for (const Case& c : {Case{0, 1, 1003, 750}, Case{600, 1, 1003, 750}, Case{1003, 1, 1003, 750},
                        Case{400, 2, 502, 375}, Case{200, 4, 251, 188}, Case{100, 8, 126, 94}}) {
    DecodeBudget budget(int64_t{1} << 30);
    auto frame = loaded(path, calibration, c.workingSide, &budget);
    ASSERT_TRUE(frame) << c.workingSide;
    const fw::GImage image = frame->getImage(0, 0);
    EXPECT_EQ(image.cols, c.columns) << c.workingSide;
    EXPECT_EQ(image.rows, c.rows) << c.workingSide;
    EXPECT_EQ(image.type, CV_8UC3) << c.workingSide;
    EXPECT_EQ(reductionOf(*frame), c.reduction) << c.workingSide;
    // The calibration stays the file's, whatever size the pixels were decoded at.
    EXPECT_EQ(frame->getCamera(0).getParameters(), calibration) << c.workingSide;
    // The budget holds what the frame keeps.
    EXPECT_EQ(frame->decodeReservation.load(), int64_t{3} * c.columns * c.rows);
    EXPECT_EQ(budget.inUse(), int64_t{3} * c.columns * c.rows);
  }
  // A calibration made for twice the file's size is fitted to the file, not to the pixels.
  auto fitted = loaded(path, {2006, 1500, 1400, 1400, 1003, 750}, 200);
  ASSERT_TRUE(fitted);
  const std::vector<double> parameters = fitted->getCamera(0).getParameters();
  EXPECT_NEAR(parameters[0], 1003, 1e-9);
  EXPECT_NEAR(parameters[2], 700, 1e-9);
  // Replacing or releasing the image makes the frame's image whole again.
  fitted->setImage(fw::GImage(cv::Mat(750, 1003, CV_8UC3)), 0);
  EXPECT_EQ(reductionOf(*fitted), 1);
  fitted->setReducedImage(fw::GImage(cv::Mat(188, 251, CV_8UC3)), 4);
  fitted->call("ReleaseImage", nullptr);
  EXPECT_EQ(reductionOf(*fitted), 1);
}

TEST(ReducedLoading, PixelsAreTheAreaMeansOfTheWholeImage) {
#if defined(__SANITIZE_THREAD__)
  // OpenCV hands the reductions' loop bodies to TBB workers, whose hand-over ThreadSanitizer
  // cannot see: under it they run on the caller.
  cv::setNumThreads(1);
#endif
  vmtest::TempDir dir;
  // Grey detail on smooth colour, like a photograph of the ground (chroma is stored coarser).
  cv::Mat noise(752, 1000, CV_8UC1), grey, image;
  cv::RNG(12).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, grey, cv::Size(0, 0), 2.0);
  cv::normalize(grey, grey, 40, 215, cv::NORM_MINMAX);
  cv::merge(std::vector<cv::Mat>{grey - 20, grey, grey + 20}, image);
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
  writeBytes(dir / "a.jpg", bytes);
  const std::vector<double> calibration = {1000, 752, 800, 800, 500, 376};
  auto whole = loaded(dir / "a.jpg", calibration, 0);
  auto reduced = loaded(dir / "a.jpg", calibration, 250);
  ASSERT_TRUE(whole && reduced);
  ASSERT_EQ(reductionOf(*reduced), 4);
  cv::Mat expected, difference;
  cv::resize(cv::Mat(whole->getImage(0, 0)), expected, cv::Size(250, 188), 0, 0, cv::INTER_AREA);
  const cv::Mat got = reduced->getImage(0, 0);
  ASSERT_EQ(got.size(), expected.size());
  cv::absdiff(got, expected, difference);
  // The decoder's scaled transform differs from averaging by a fraction of a level; blocks
  // shifted by one pixel differ by far more.
  const double mean = cv::mean(difference.reshape(1))[0];
  EXPECT_LT(mean, 1.0);
  cv::resize(cv::Mat(whole->getImage(0, 0))(cv::Rect(1, 0, 996, 752)), expected, cv::Size(249, 188),
             0, 0, cv::INTER_AREA);
  cv::absdiff(got(cv::Rect(0, 0, 249, 188)), expected, difference);
  EXPECT_GT(cv::mean(difference.reshape(1))[0], 2 * mean) << mean;
}

TEST(ReducedLoading, TheTasksFrontEndSideReplacesTheConfiguredOne) {
  const nlohmann::json dataset = nlohmann::json::object();
  EXPECT_EQ(ImageLoadOptions::forDataset(dataset, 3000).workingLongSide, 3000);
  EXPECT_EQ(ImageLoadOptions::forDataset(dataset, 0).workingLongSide,
            ImageLoadOptions::fromConfiguration().workingLongSide);
  EXPECT_EQ(ImageLoadOptions::fromConfiguration().workingLongSide,
            fw::kDefaultFeatureImageLongSide);
}

TEST(ReducedLoading, AFileWhoseHeaderIsNotReadIsDecodedWhole) {
  vmtest::TempDir dir;
  // A portable pixmap decodes, but the header reader does not know it: only a whole decode
  // tells its real size.
  std::vector<unsigned char> bytes;
  cv::Mat image(300, 400, CV_8UC3, cv::Scalar(7, 8, 9));
  image(cv::Rect(0, 0, 10, 10)).setTo(cv::Scalar(200, 100, 50));
  ASSERT_TRUE(cv::imencode(".ppm", image, bytes));
  writeBytes(dir / "a.ppm", bytes);
  auto frame = loaded(dir / "a.ppm", {400, 300, 300, 300, 200, 150}, 50);
  ASSERT_TRUE(frame);
  EXPECT_EQ(reductionOf(*frame), 1);
  EXPECT_EQ(frame->getImage(0, 0).cols, 400);
  // A null pointer is ignored, like the other commands' values.
  frame->call("GetImageReduction", nullptr);
}

}  // namespace
