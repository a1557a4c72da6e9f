// Features of a frame whose image was decoded reduced: the same as a whole decode gives.
#include "frame_features.h"

#include "framework/frame_image_decoding.h"
#include "rendered_frame_for_tests.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace sfm {
namespace {

constexpr double kEnlarged = 2.5;
constexpr int kWidth = 1600, kHeight = 1200;

CameraIntrinsics fullCamera() {
  const double f = 544 * kEnlarged;
  return CameraIntrinsics::fromCalibration({double(kWidth), double(kHeight), f, f,
                                            (kWidth - 1) / 2.0, (kHeight - 1) / 2.0, 0, 0, 0, 0,
                                            0});
}

// A rendered frame enlarged to 1600 x 1200 and encoded as a camera would store it.
std::vector<unsigned char> frameJpeg() {
  const cv::Mat image = testing::renderedTestFrame();
  cv::Mat large;
  cv::resize(image, large, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", large, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
  return bytes;
}

// Distances, in full-image pixels, from each feature of `a` to the nearest of `b`.
std::vector<double> nearestDistances(const FrameFeatures& a, const FrameFeatures& b) {
  std::vector<double> out;
  for (const cv::Point2f& p : a.pixels) {
    double best = 1e9;
    for (const cv::Point2f& q : b.pixels) best = std::min(best, double(cv::norm(p - q)));
    out.push_back(best);
  }
  return out;
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Reduced by 2 while decoded, then to the copy's 640 pixels (0.8), or taken as decoded when
// the options ask for a finer copy than it: the features lie where a whole decode puts them,
// in the full image's pixels.
TEST(ReducedImageFeatures, AReducedDecodeGivesTheFeaturesOfTheWholeOne) {
  const std::vector<unsigned char> bytes = frameJpeg();
  const cv::Mat whole = fw::decodeFrameImage(bytes);
  const cv::Mat halved = fw::decodeFrameImageReduced(bytes, 2);
  ASSERT_EQ(halved.cols, kWidth / 2);
  for (const int long_side : {640, 800}) {
    RefinementOptions whole_options;
    whole_options.max_features = 1000;
    whole_options.image_long_side = long_side;
    RefinementOptions options = whole_options;
    // Asking for the whole image's side: the halved decode is all there is.
    if (long_side == 800) options.image_long_side = kWidth;
    const FrameFeatures expected = extractFeatures(fw::GImage(whole), fullCamera(), whole_options);
    const FrameFeatures got = extractFeatures(fw::GImage(halved), fullCamera(), options, 2);
    ASSERT_GT(expected.size(), 500u) << long_side;
    EXPECT_DOUBLE_EQ(got.scale, expected.scale) << long_side;
    EXPECT_NEAR(double(got.size()), double(expected.size()), 0.02 * expected.size());
    const std::vector<double> distances = nearestDistances(got, expected);
    const auto close =
        std::count_if(distances.begin(), distances.end(), [](double d) { return d < 0.5; });
    EXPECT_GT(close, 0.8 * got.size()) << long_side;
    EXPECT_LT(median(distances), 0.1) << long_side;
    // The normalised points follow the full image's calibration.
    const auto n = fullCamera().unproject(got.pixels[0].x, got.pixels[0].y);
    EXPECT_NEAR(got.normalised[0].x, n[0], 1e-9);
    EXPECT_NEAR(got.normalised[0].y, n[1], 1e-9);
  }
}

// The image must be the calibration's size reduced by the factor, rounded up.
TEST(ReducedImageFeatures, AnImageNotOfTheReducedSizeGivesNone) {
  cv::Mat image(600, 800, CV_8UC1);
  cv::RNG(2).fill(image, cv::RNG::UNIFORM, 0, 255);
  const CameraIntrinsics odd =
      CameraIntrinsics::fromCalibration({1599, 1200, 1000, 1000, 799, 599.5, 0, 0, 0, 0, 0});
  const RefinementOptions options;
  EXPECT_GT(extractFeatures(fw::GImage(image), odd, options, 2).size(), 100u);
  EXPECT_EQ(extractFeatures(fw::GImage(image), odd, options, 4).size(), 0u);
  EXPECT_EQ(extractFeatures(fw::GImage(image), odd, options, 0).size(), 0u);
  EXPECT_EQ(extractFeatures(fw::GImage(image.colRange(0, 799).clone()), odd, options, 2).size(),
            0u);
}

}  // namespace
}  // namespace sfm
