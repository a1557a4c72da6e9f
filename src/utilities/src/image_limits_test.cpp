// Hostile frame inputs: files that are not regular, images larger than the pixel budget, and
// the decode memory budget of the loaders.
#include "dataset.h"
#include "image_header.h"
#include "regular_file.h"

#include "test_images.h"

#include "framework/run_tally.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <fstream>
#include <thread>

namespace {

std::vector<unsigned char> encoded(const std::string& extension, int columns, int rows, int type) {
  std::vector<unsigned char> bytes;
  cv::imencode(extension, cv::Mat(rows, columns, type, cv::Scalar::all(90)), bytes);
  return bytes;
}

std::shared_ptr<VornMapperFrame> frameFor(const std::filesystem::path& image) {
  return std::make_shared<VornMapperFrame>(0, image.string(), 1.0, std::vector<double>{},
                                           std::vector<double>{48, 36, 40, 40, 24, 18});
}

TEST(ImageHeader, ReadsTheSizeOfEachFormatWithoutDecoding) {
  struct Case {
    const char* extension;
    int type;
    int channels;
    int bytesPerSample;
  };
  for (const Case& c :
       {Case{".png", CV_8UC3, 3, 1}, Case{".png", CV_16UC1, 1, 2}, Case{".jpg", CV_8UC3, 3, 1},
        Case{".jpg", CV_8UC1, 1, 1}, Case{".tif", CV_8UC3, 3, 1}, Case{".bmp", CV_8UC3, 3, 1}}) {
    ImageHeader header;
    ASSERT_TRUE(readImageHeader(encoded(c.extension, 123, 45, c.type), header)) << c.extension;
    EXPECT_EQ(header.width, 123) << c.extension;
    EXPECT_EQ(header.height, 45) << c.extension;
    EXPECT_EQ(header.channels, c.channels) << c.extension;
    EXPECT_EQ(header.bytesPerSample, c.bytesPerSample) << c.extension;
  }
  ImageHeader header;
  EXPECT_FALSE(readImageHeader({'a', 'b', 'c'}, header));
  EXPECT_FALSE(readImageHeader({0xff, 0xd8, 0xff}, header));
}

TEST(ImageLimits, FilesThatAreNotRegularAreRefusedWithoutBlocking) {
  vmtest::TempDir dir;
  const auto fifo = dir / "frames.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<unsigned char> bytes;
  std::string reason;
  for (const std::string path : {fifo.string(), std::string("/dev/zero"), dir.path().string()}) {
    EXPECT_FALSE(readRegularFile(path, bytes, reason)) << path;
    EXPECT_EQ(reason, "not a regular file") << path;
    auto frame = frameFor(path);
    EXPECT_FALSE(loadImage(*frame)) << path;
    EXPECT_EQ(frame->loadState.load(), VornMapperFrame::kFailed);
  }
  EXPECT_FALSE(readRegularFile(std::string("/dev/null\0/x", 11), bytes, reason));
  EXPECT_EQ(reason, "the path holds a NUL byte");
  // A frame list that is a FIFO leaves the dataset empty instead of waiting for a writer.
  EXPECT_EQ(ImageDataset(fifo.string()).size(), 0);
}

TEST(ImageLimits, AHeaderClaimingTooManyPixelsIsRefusedBeforeDecoding) {
  vmtest::TempDir dir;
  // A real PNG whose header is patched to claim 100000 x 100000 pixels (10 gigapixels).
  std::vector<unsigned char> png = encoded(".png", 48, 36, CV_8UC3);
  for (int offset : {16, 20}) {
    png[offset] = 0;
    png[offset + 1] = 0x01;
    png[offset + 2] = 0x86;
    png[offset + 3] = 0xa0;
  }
  std::ofstream(dir / "huge.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  auto huge = frameFor(dir / "huge.png");
  EXPECT_FALSE(loadImage(*huge));
  EXPECT_EQ(huge->getImage().cols, 0);

  // The budget is an option: a small one refuses an ordinary image, the default takes it.
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 48, 36, 3);
  ImageLoadOptions tight;
  tight.maxPixels = 48 * 36 - 1;
  EXPECT_FALSE(loadImage(*frameFor(image), tight, nullptr));
  EXPECT_TRUE(loadImage(*frameFor(image), ImageLoadOptions(), nullptr));
  EXPECT_THROW((ImageLoadOptions{0, 1}.check()), std::invalid_argument);
  EXPECT_NO_THROW(ImageLoadOptions().check());
}

// Writes `image` in the format of `extension` to dir/name; returns the path.
std::filesystem::path written(const std::filesystem::path& path, const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(cv::imencode(path.extension().string(), image, bytes)) << path;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

cv::Mat textured(int columns, int rows) {
  cv::Mat image(rows, columns, CV_8UC3);
  cv::RNG(5).fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// Frames that a later stage could not use are skipped by the loader, each with its reason, and
// counted with the frames that could not be read.
TEST(ImageLimits, FramesNoStageCouldUseAreSkippedWithTheirReason) {
  vmtest::TempDir dir;
  auto frame = [&](const std::filesystem::path& image, double width, double height) {
    return std::make_shared<VornMapperFrame>(
        0, image.string(), 1.0, std::vector<double>{},
        std::vector<double>{width, height, width, width, width / 2, height / 2});
  };
  struct Case {
    std::filesystem::path image;
    double width, height;
    ImageLoadOptions options;
    const char* reason;
  };
  ImageLoadOptions reduced;
  reduced.workingLongSide = 50;
  ImageLoadOptions tightReduced = reduced;
  tightReduced.decodeBudgetBytes = 10000;
  const std::vector<Case> refused = {
      // Sizes its calibration does not describe: with a header, and without one (a pixmap).
      {written(dir / "thin.png", textured(1, 650)), 1000, 750, {}, kLoadMisdescribed},
      {written(dir / "wide.jpg", textured(650, 2)), 1000, 750, reduced, kLoadMisdescribed},
      {written(dir / "thin.ppm", textured(2, 650)), 1000, 750, {}, kLoadMisdescribed},
      // One colour all over: a black frame, a white one, one of any colour, reduced or not.
      {written(dir / "black.png", cv::Mat(300, 400, CV_8UC3, cv::Scalar::all(0))), 400, 300,
       reduced, kLoadNoContent},
      {written(dir / "white.jpg", cv::Mat(30, 40, CV_8UC1, cv::Scalar(255))),
       40,
       30,
       {},
       kLoadNoContent},
      {written(dir / "grey16.tif", cv::Mat(30, 40, CV_16UC3, cv::Scalar(9000, 500, 3))),
       40,
       30,
       {},
       kLoadNoContent},
      // A bitmap is reduced only after a whole decode, which must fit the decode budget.
      {written(dir / "large.bmp", textured(400, 300)), 400, 300, tightReduced, kLoadOverBudget},
  };
  for (const Case& c : refused) {
    auto f = frame(c.image, c.width, c.height);
    EXPECT_FALSE(loadImage(*f, c.options, nullptr)) << c.image;
    EXPECT_EQ(f->loadFailure, c.reason) << c.image;
    EXPECT_TRUE(f->getImage().empty()) << c.image;
  }
  // Decoded in bands, the same image in a PNG or TIFF fits that budget; one pixel off the one
  // colour is content; a calibration of another aspect ratio that keeps most of the image is
  // fitted.
  cv::Mat dot(300, 400, CV_8UC3, cv::Scalar::all(0));
  dot.at<cv::Vec3b>(150, 200) = cv::Vec3b(255, 255, 255);
  const std::vector<Case> taken = {
      {written(dir / "large.png", textured(400, 300)), 400, 300, tightReduced, ""},
      {written(dir / "large.tif", textured(400, 300)), 400, 300, tightReduced, ""},
      {written(dir / "dot.png", dot), 400, 300, {}, ""},
      {written(dir / "crop.png", textured(400, 300)), 400, 225, {}, ""},
  };
  for (const Case& c : taken)
    EXPECT_TRUE(loadImage(*frame(c.image, c.width, c.height), c.options, nullptr)) << c.image;

  // In a frame list they are counted by their reasons.
  nlohmann::json list = nlohmann::json::array();
  for (const Case& c : refused) list.push_back(vmtest::frameDocument(c.image, c.width, c.height));
  list.push_back(vmtest::frameDocument(dir / "dot.png", 400, 300));
  vmtest::writeJson(dir / "frames.json", list);
  fw::RunTally::instance().reset();
  ImageDataset dataset((dir / "frames.json").string(), tightReduced);
  auto only = dataset.next();
  ASSERT_TRUE(only);
  EXPECT_EQ(only->id, refused.size());
  EXPECT_EQ(dataset.next(), nullptr);
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("frames read failed 7 (no content 3, over the decode budget 1, size "
                         "differs from the calibration 3)"),
            std::string::npos)
      << summary;
}

TEST(DecodeBudget, TheConsumersFrameAlwaysProceedsAndCancelFreesWaiters) {
  DecodeBudget budget(100);
  EXPECT_TRUE(budget.acquire(60, 3));
  // Frame 0 is the one the consumer waits for: it may overdraw.
  EXPECT_TRUE(budget.acquire(500, 0));
  EXPECT_EQ(budget.inUse(), 560);
  budget.release(500);
  bool acquired = true;
  std::thread waiter([&] { acquired = budget.acquire(60, 4); });
  budget.cancel();
  waiter.join();
  EXPECT_FALSE(acquired);
}

TEST(DecodeBudget, AFrameListRunsThroughABudgetSmallerThanOneImage) {
  vmtest::TempDir dir;
  const auto list = vmtest::writeFrameList(dir.path(), 10, 48, 36);
  ImageLoadOptions options;
  options.decodeBudgetBytes = 1;
  ImageDataset dataset(list.string(), options);
  std::vector<std::uint64_t> ids;
  while (auto frame = dataset.next()) {
    ids.push_back(frame->id);
    EXPECT_EQ(frame->getImage().cols, 48);
  }
  EXPECT_EQ(ids.size(), 10u);
  // Every frame handed out gave its share back.
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
}

}  // namespace
