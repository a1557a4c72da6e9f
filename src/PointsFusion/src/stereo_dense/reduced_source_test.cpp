#include "framework/frame_image_decoding.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "src/PointsFusion/src/stereo_dense/pair_motion.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <thread>
#include <vector>

namespace {

// Source pixels (not on the pixel grid) where the test image has a bright round blob.
std::vector<cv::Point2d> blobCentres(cv::Size size) {
  return {{123.3, 211.7},
          {size.width - 150.6, size.height - 100.2},
          {size.width / 2.0 + 0.4, size.height / 2.0 - 0.3},
          {size.width - 90.25, 80.8}};
}

// Gaussian blobs (sigma 5 source pixels) on black: their centroid survives any reduction
// that averages, so it tells where the reduced image puts each source position.
cv::Mat blobImage(cv::Size size) {
  cv::Mat image(size, CV_8UC3, cv::Scalar::all(0));
  for (const cv::Point2d& c : blobCentres(size))
    for (int r = int(c.y) - 25; r <= int(c.y) + 25; ++r)
      for (int col = int(c.x) - 25; col <= int(c.x) + 25; ++col) {
        const double d2 = (col - c.x) * (col - c.x) + (r - c.y) * (r - c.y);
        image.at<cv::Vec3b>(r, col) =
            cv::Vec3b::all(cv::saturate_cast<uchar>(250 * std::exp(-d2 / 50)));
      }
  return image;
}

// Brightness-weighted centroid of the grey image within `radius` of `near`.
cv::Point2d centroid(const cv::Mat& image, cv::Point2d near, int radius) {
  double sum = 0, x = 0, y = 0;
  for (int r = std::max(0, int(near.y) - radius);
       r <= std::min(image.rows - 1, int(near.y) + radius); ++r)
    for (int c = std::max(0, int(near.x) - radius);
         c <= std::min(image.cols - 1, int(near.x) + radius); ++c) {
      const double w = image.at<cv::Vec3b>(r, c)[0];
      sum += w;
      x += w * c;
      y += w * r;
    }
  return sum > 0 ? cv::Point2d(x / sum, y / sum) : cv::Point2d(-1, -1);
}

struct Reduction {
  const char* name;
  cv::Size source;
  double workScale;
  cv::Size held;  // the image the record keeps
};

// Each source position must land in the record's image where its camera matrix for the
// image projects it: the pixel centres of every reduction line up with the source's.
TEST(ReducedSource, TheRecordsImageAndItsCameraAgreeOnWhereEverySourcePointLies) {
  const std::vector<Reduction> cases = {
      {"exactly halved", {640, 480}, 0.5, {320, 240}},
      {"halved, then by area to the working size", {1000, 750}, 0.3, {300, 225}},
      {"a quarter of a size the decoder rounds up", {1001, 751}, 0.25, {250, 188}},
      {"too little to reduce: whole", {640, 480}, 0.7, {640, 480}},
      {"the whole file", {640, 480}, 1.0, {640, 480}},
  };
  const vmtest::TempDir dir;
  for (const Reduction& c : cases)
    for (const char* extension : {".png", ".jpg"}) {
      SCOPED_TRACE(std::string(c.name) + extension);
      const std::string path = (dir.path() / (std::string("frame") + extension)).string();
      ASSERT_TRUE(cv::imwrite(path, blobImage(c.source), {cv::IMWRITE_JPEG_QUALITY, 100}));
      fwtest::LocatedFrameSpec spec;
      const double w = c.source.width, h = c.source.height;
      spec.camera = {w, h, 0.9 * w, 0.9 * w, (w - 1) / 2 + 3.5, (h - 1) / 2 - 2.25, 0, 0, 0, 0, 0};
      spec.imagePath = path;
      const ImageScaled record(fwtest::makeLocatedFrame(spec, {}), cv::Mat(), c.workScale);
      ASSERT_EQ(record.image.size(), c.held);

      const cv::Matx33d source(cameraMatrix(record.frame->getCamera(0)));
      const cv::Matx33d held(record.imageCameraMatrix());
      for (const cv::Point2d& p : blobCentres(c.source)) {
        const cv::Vec3d ray = source.inv() * cv::Vec3d(p.x, p.y, 1.0);
        const cv::Vec3d projected = held * ray;
        const cv::Point2d expected(projected[0] / projected[2], projected[1] / projected[2]);
        const cv::Point2d found =
            centroid(record.image, expected, int(std::ceil(20 * c.workScale)) + 2);
        EXPECT_NEAR(found.x, expected.x, 0.1) << p;
        EXPECT_NEAR(found.y, expected.y, 0.1) << p;
      }
    }
}

TEST(ReducedSource, AnImageHandedOverIsTheWholeSourceAtItsOwnSizeAndAMissingFileNone) {
  fwtest::LocatedFrameSpec spec;
  spec.camera = {640, 480, 500, 500, 319.5, 239.5};
  densetest::LogLines log;
  const vmtest::TempDir dir;
  spec.imagePath = (dir.path() / "missing.jpg").string();
  const ImageScaled missing(fwtest::makeLocatedFrame(spec, {}), cv::Mat(), 0.25);
  EXPECT_TRUE(missing.image.empty());
  EXPECT_EQ(log.count(fw::kLogError, "ImageScaled: Wrong Path! " + spec.imagePath), 1);
  EXPECT_TRUE(missing.matchFeatures().points.empty()) << "a pair of it fails later";

  const ImageScaled whole(fwtest::makeLocatedFrame(spec, {}), cv::Mat(480, 640, CV_8UC3), 0.5);
  EXPECT_EQ(whole.image.size(), cv::Size(640, 480)) << "taken as it is";
  EXPECT_EQ(whole.imageScale, cv::Vec2d(1.0, 1.0));
  const ImageScaled half(fwtest::makeLocatedFrame(spec, {}), cv::Mat(240, 320, CV_8UC3));
  EXPECT_EQ(half.imageScale, cv::Vec2d(0.5, 0.5));
  EXPECT_NEAR(half.imageCameraMatrix().at<double>(0, 2), 159.5, 1e-12);
}

// The mapper hands the dense stage a reduced copy of each located frame: the record reduces
// that instead of decoding the file, by the same rule, and only when the copy is no coarser
// than its decode factor.
TEST(ReducedSource, AReducedCopyTheFrameCarriesStandsInForTheFile) {
  const cv::Size source(1001, 751);
  const vmtest::TempDir dir;
  const std::string path = (dir.path() / "frame.png").string();
  ASSERT_TRUE(cv::imwrite(path, blobImage(source)));
  fwtest::LocatedFrameSpec spec;
  spec.camera = {1001, 751, 900, 900, 500, 375, 0, 0, 0, 0, 0};
  spec.imagePath = path;
  const cv::Mat whole = cv::imread(path);
  const cv::Mat half = fw::reduceFrameImage(whole, 2);
  densetest::LogLines log;

  auto carrying = fwtest::makeLocatedFrame(spec, {});
  carrying->setReducedImage(fw::GImage(half), 2);
  std::shared_ptr<fw::MapFrame> clone = DenseDepth::PrepareFrame(carrying);
  {
    const ImageScaled fromCopy(clone, cv::Mat(), 0.25);
    const ImageScaled fromFile(fwtest::makeLocatedFrame(spec, {}), cv::Mat(), 0.25);
    ASSERT_EQ(fromCopy.image.size(), fromFile.image.size());
    EXPECT_EQ(fromCopy.imageScale, fromFile.imageScale);
    // The file read whole and reduced by 4 against the copy reduced by 2 twice: rounding.
    EXPECT_LE(cv::norm(fromCopy.image, fromFile.image, cv::NORM_INF), 1.0);
  }
  // The copy travels on with the frame for terrain fusion.
  EXPECT_EQ(clone->getImage(0, 0).cols, half.cols);

  // A JPEG's copy (the mapper's: decoded at a half, then halved by block means) and the file
  // decoded at a quarter by the decoder's own scaling differ by their filters, not in place.
  const std::string jpegPath = (dir.path() / "frame.jpg").string();
  ASSERT_TRUE(cv::imwrite(jpegPath, blobImage(source), {cv::IMWRITE_JPEG_QUALITY, 95}));
  spec.imagePath = jpegPath;
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(fw::readFrameFile(jpegPath, bytes));
  auto jpegFrame = fwtest::makeLocatedFrame(spec, {});
  jpegFrame->setReducedImage(fw::GImage(fw::decodeFrameImageReduced(bytes, 2)), 2);
  const ImageScaled jpegCopy(jpegFrame, cv::Mat(), 0.25);
  const ImageScaled jpegFile(fwtest::makeLocatedFrame(spec, {}), cv::Mat(), 0.25);
  ASSERT_EQ(jpegCopy.image.size(), jpegFile.image.size());
  cv::Mat difference;
  cv::absdiff(jpegCopy.image, jpegFile.image, difference);
  EXPECT_LT(cv::mean(difference)[0], 0.5);
  for (const cv::Point2d& p : blobCentres(source)) {
    const cv::Point2d at(p.x / 4 - 0.375, p.y / 4 - 0.375);  // source centre (x + 0.5) / 4 - 0.5
    const cv::Point2d copyCentre = centroid(jpegCopy.image, at, 7);
    const cv::Point2d fileCentre = centroid(jpegFile.image, at, 7);
    EXPECT_NEAR(copyCentre.x, fileCentre.x, 0.05) << p;
    EXPECT_NEAR(copyCentre.y, fileCentre.y, 0.05) << p;
  }

  // A copy coarser than the record works at, or not of the camera's size, is not used.
  spec.imagePath = (dir.path() / "missing.png").string();
  for (const auto& [image, reduction] : {std::pair<cv::Mat, int>{fw::reduceFrameImage(whole, 4), 4},
                                         {half(cv::Rect(0, 0, 500, 375)), 2}}) {
    auto frame = fwtest::makeLocatedFrame(spec, {});
    frame->setReducedImage(fw::GImage(image.clone()), reduction);
    const ImageScaled record(frame, cv::Mat(), 0.5);
    EXPECT_TRUE(record.image.empty());
  }
  EXPECT_EQ(log.count(fw::kLogError, "ImageScaled: Wrong Path! " + spec.imagePath), 2);
}

// A record of blotchy noise, which has corners at every scale.
std::shared_ptr<ImageScaled> texturedRecord() {
  cv::Mat noise(90, 120, CV_8UC3), image;
  cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::resize(noise, image, cv::Size(480, 360), 0, 0, cv::INTER_CUBIC);
  fwtest::LocatedFrameSpec spec;
  spec.camera = {480, 360, 400, 400, 239.5, 179.5};
  return std::make_shared<ImageScaled>(fwtest::makeLocatedFrame(spec, {}), image);
}

TEST(ReducedSource, AFramesMatchFeaturesAreSoughtOnceAndOutliveItsImage) {
  const auto record = texturedRecord();
  const pair_motion::ViewFeatures expected = pair_motion::featuresOf(
      record->image, record->imageCameraMatrix(), distortionCoeffs(record->frame->getCamera(0)));
  ASSERT_GT(expected.points.size(), 500u);

  // Pairs on several pool threads ask at once: one computation, one result for all.
  std::vector<const pair_motion::ViewFeatures*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s, &record] { s = &record->matchFeatures(); });
  for (auto& t : threads) t.join();
  for (const auto* s : seen) EXPECT_EQ(s, seen[0]);
  ASSERT_EQ(seen[0]->points, expected.points);
  EXPECT_EQ(cv::norm(seen[0]->descriptors, expected.descriptors, cv::NORM_HAMMING), 0.0);

  // The source let go, the next pair still finds them.
  record->holdSource();
  record->letGoOfSource();
  ASSERT_TRUE(record->image.empty());
  EXPECT_EQ(&record->matchFeatures(), seen[0]);
  EXPECT_EQ(record->matchFeatures().points.size(), expected.points.size());
}

}  // namespace
