#include "frame_features.h"

#include "pair_geometry.h"
#include "rendered_frame_for_tests.h"

#include <gtest/gtest.h>
#include <Eigen/Geometry>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace sfm {
namespace {

CameraIntrinsics cameraOf(int width, int height, double f) {
  return CameraIntrinsics::fromCalibration(
      {double(width), double(height), f, f, (width - 1) / 2.0, (height - 1) / 2.0, 0, 0, 0, 0, 0});
}

// A field of faint random texture with one bright, busy block in a corner: corners are
// taken from the faint field too, not only from the block.
TEST(FrameFeatures, CornersSpreadOverFaintTextureBesideABusyPlace) {
  cv::Mat image(480, 640, CV_8UC1);
  cv::RNG rng(3);
  rng.fill(image, cv::RNG::NORMAL, 120, 12);
  cv::GaussianBlur(image, image, cv::Size(3, 3), 0.8);
  cv::Mat busy = image(cv::Rect(40, 40, 64, 64));
  rng.fill(busy, cv::RNG::UNIFORM, 0, 255);
  RefinementOptions options;
  options.detector = FeatureDetector::kOrb;
  options.max_features = 400;
  const FrameFeatures features =
      extractFeatures(fw::GImage(image), cameraOf(640, 480, 500), options);
  ASSERT_EQ(features.size(), 400u);
  const auto faint =
      std::count_if(features.pixels.begin(), features.pixels.end(),
                    [](const cv::Point2f& p) { return p.x >= 120.0f || p.y >= 120.0f; });
  EXPECT_GE(faint, 300) << "the faint field takes most of the corners";
}

// Field texture, fainter still on the left third, under a lens that darkens the corners by a
// third, seen twice: once exposed evenly and once darker by 40%. Both views yield corners in
// every part of the image, and mostly the same corners: darkness and faintness are no reason
// to find fewer or others.
TEST(FrameFeatures, VignettingAndExposureStepsKeepTheCornersSpreadAndTheSame) {
  for (const FeatureDetector detector : {FeatureDetector::kOrb, FeatureDetector::kSift}) {
    const bool orb = detector == FeatureDetector::kOrb;
    SCOPED_TRACE(orb ? "ORB" : "SIFT");
    // Fine grain for corners, a third of it faint (they are spread cell by cell); coarser
    // blobs for SIFT, which takes the strongest wherever they are.
    cv::Mat texture(480, 640, CV_32F);
    cv::RNG rng(7);
    rng.fill(texture, cv::RNG::NORMAL, 0.0, orb ? 12.0 : 60.0);
    cv::GaussianBlur(texture, texture, orb ? cv::Size(5, 5) : cv::Size(), orb ? 1.0 : 2.5);
    if (orb) texture(cv::Rect(0, 0, 213, 480)) *= 0.3;
    const auto exposed = [&](double gain) {
      cv::Mat image(texture.size(), CV_8U);
      for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
          const double r2 = (std::pow(x - 319.5, 2) + std::pow(y - 239.5, 2)) / (400.0 * 400.0);
          image.at<uchar>(y, x) = cv::saturate_cast<uchar>(gain * (1.0 - 0.35 * r2) *
                                                           (140.0 + texture.at<float>(y, x)));
        }
      return image;
    };
    RefinementOptions options;
    options.max_features = 1000;
    options.detector = detector;
    const CameraIntrinsics camera = cameraOf(640, 480, 500);
    const FrameFeatures even = extractFeatures(fw::GImage(exposed(1.0)), camera, options);
    const FrameFeatures dark = extractFeatures(fw::GImage(exposed(0.6)), camera, options);
    for (const FrameFeatures* f : {&even, &dark}) {
      ASSERT_GE(f->size(), orb ? 1000u : 500u);
      int cells[4][4] = {};
      for (const cv::Point2f& p : f->pixels) ++cells[int(p.y * 4 / 480)][int(p.x * 4 / 640)];
      // The lens's dark corners keep their share.
      for (const auto& row : cells)
        for (const int count : row) EXPECT_GE(count, orb ? 40 : 10) << "each sixteenth";
    }
    int same = 0;
    for (const cv::Point2f& p : even.pixels)
      same += std::any_of(dark.pixels.begin(), dark.pixels.end(),
                          [&](const cv::Point2f& q) { return cv::norm(p - q) < 1.0; });
    EXPECT_GE(same, int(0.45 * even.size())) << "features found again in the darker view";
  }
}

// Features of a large image are found in a reduced copy: mapped back, they must sit where the
// same corners sit in an image of the reduced size, without a shift of a part of a pixel
// (which would turn every frame alike).
TEST(FrameFeatures, PositionsFromAReducedCopyKeepThePixelCentres) {
  const cv::Mat image = testing::renderedTestFrame();
  constexpr double kEnlarged = 2.5;  // reduced by halving, then by 0.8
  cv::Mat large;
  cv::resize(image, large, cv::Size(), kEnlarged, kEnlarged, cv::INTER_CUBIC);
  RefinementOptions options;
  options.image_long_side = image.cols;
  options.max_features = 1000;
  const FrameFeatures small = extractFeatures(fw::GImage(image), cameraOf(640, 480, 544), options);
  const FrameFeatures big = extractFeatures(
      fw::GImage(large), cameraOf(large.cols, large.rows, 544 * kEnlarged), options);
  ASSERT_GT(small.size(), 500u);
  ASSERT_GT(big.size(), 500u);
  EXPECT_DOUBLE_EQ(big.scale, 1.0 / kEnlarged);
  std::vector<double> dx, dy;
  for (const cv::Point2f& p : big.pixels) {
    const cv::Point2f q((p.x + 0.5f) / kEnlarged - 0.5f, (p.y + 0.5f) / kEnlarged - 0.5f);
    const auto nearest = std::min_element(small.pixels.begin(), small.pixels.end(),
                                          [&](const cv::Point2f& a, const cv::Point2f& b) {
                                            return cv::norm(a - q) < cv::norm(b - q);
                                          });
    if (cv::norm(*nearest - q) > 0.5) continue;
    dx.push_back(nearest->x - q.x);
    dy.push_back(nearest->y - q.y);
  }
  ASSERT_GT(dx.size(), 200u);
  for (auto* d : {&dx, &dy}) {
    std::nth_element(d->begin(), d->begin() + d->size() / 2, d->end());
    EXPECT_LT(std::abs((*d)[d->size() / 2]), 0.05);
  }
  // The normalised points follow the calibration of the full image.
  const auto n =
      cameraOf(large.cols, large.rows, 544 * kEnlarged).unproject(big.pixels[0].x, big.pixels[0].y);
  EXPECT_NEAR(big.normalised[0].x, n[0], 1e-9);
  EXPECT_NEAR(big.normalised[0].y, n[1], 1e-9);
  // Asked for the whole 1600 pixels, SIFT takes the same blobs from a 1000-pixel copy as when
  // asked for that copy; ORB takes its corners from the whole image.
  const CameraIntrinsics large_camera = cameraOf(large.cols, large.rows, 544 * kEnlarged);
  options.image_long_side = large.cols;
  const FrameFeatures whole = extractFeatures(fw::GImage(large), large_camera, options);
  options.image_long_side = 1000;
  const FrameFeatures copy = extractFeatures(fw::GImage(large), large_camera, options);
  EXPECT_DOUBLE_EQ(whole.scale, 1000.0 / large.cols);
  EXPECT_EQ(whole.pixels, copy.pixels);
  options.detector = FeatureDetector::kOrb;
  options.image_long_side = large.cols;
  EXPECT_DOUBLE_EQ(extractFeatures(fw::GImage(large), large_camera, options).scale, 1.0);
}

// A view moved by a fraction of a pixel: corners found in each are placed to about a fifth of
// a pixel, a match placed onto its partner's patch to a few hundredths.
TEST(FrameFeatures, AMatchIsPlacedOntoItsPartnersTextureFinerThanItsCorner) {
  const cv::Mat image = testing::renderedTestFrame();
  const cv::Point2f shift(0.3f, -0.4f);
  cv::Mat moved;
  const cv::Mat translation = (cv::Mat_<double>(2, 3) << 1, 0, shift.x, 0, 1, shift.y);
  cv::warpAffine(image, moved, translation, image.size(), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
  RefinementOptions options;
  options.detector = FeatureDetector::kOrb;
  options.max_features = 1000;
  const CameraIntrinsics camera = cameraOf(640, 480, 544);
  const FrameFeatures a = extractFeatures(fw::GImage(image), camera, options);
  FrameFeatures b = extractFeatures(fw::GImage(moved), camera, options);
  ASSERT_EQ(a.patches.rows, static_cast<int>(a.size()));
  std::vector<double> found, placed;
  int refused = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const cv::Point2f expected = a.pixels[i] + shift;
    for (size_t j = 0; j < b.size(); ++j) {
      if (cv::norm(b.pixels[j] - expected) > 0.7) continue;
      found.push_back(cv::norm(b.pixels[j] - expected));
      if (alignFeature(a, int(i), b, int(j), camera)) {
        placed.push_back(cv::norm(b.pixels[j] - expected));
        const auto n = camera.unproject(b.pixels[j].x, b.pixels[j].y);
        EXPECT_NEAR(b.normalised[j].x, n[0], 1e-6);
      } else {
        ++refused;
      }
      break;
    }
  }
  ASSERT_GT(placed.size(), 200u);
  EXPECT_LT(refused, int(found.size()) / 4);
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  EXPECT_LT(median(placed), 0.08);
  EXPECT_LT(median(placed), median(found) / 2);
  // SIFT features keep their own placement: they carry no patches.
  options.detector = FeatureDetector::kSift;
  const FrameFeatures sift = extractFeatures(fw::GImage(image), camera, options);
  FrameFeatures sift_b = sift;
  EXPECT_TRUE(sift.patches.empty());
  EXPECT_FALSE(alignFeature(sift, 0, sift_b, 0, camera));
}

// A strip flown back the other way sees the ground turned half round, and a crabbing aircraft
// turned by tens of degrees: the partner's patch is turned as the view is before it is
// compared, so the feature is placed as finely as between frames of one strip. Without the
// turn the patches do not compare. The feature being placed stays where it was found.
TEST(FrameFeatures, AMatchIsPlacedOntoTheTextureOfATurnedView) {
  const cv::Mat image = testing::renderedTestFrame();
  const CameraIntrinsics camera = cameraOf(640, 480, 544);
  RefinementOptions options;
  options.detector = FeatureDetector::kOrb;
  options.max_features = 1000;
  const FrameFeatures a = extractFeatures(fw::GImage(image), camera, options);
  const cv::Point2d centre((image.cols - 1) / 2.0, (image.rows - 1) / 2.0);
  for (const double degrees : {180.0, 25.0}) {
    const double spin = degrees * M_PI / 180.0;
    // Image x towards y: a pixel p of a shows at turn * (p - centre) + centre in b.
    const cv::Matx22d turn(std::cos(spin), -std::sin(spin), std::sin(spin), std::cos(spin));
    const cv::Vec2d moved_centre = turn * cv::Vec2d(centre.x, centre.y);
    const cv::Mat affine =
        (cv::Mat_<double>(2, 3) << turn(0, 0), turn(0, 1), centre.x - moved_centre[0], turn(1, 0),
         turn(1, 1), centre.y - moved_centre[1]);
    cv::Mat turned;
    cv::warpAffine(image, turned, affine, image.size(), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
    const FrameFeatures b = extractFeatures(fw::GImage(turned), camera, options);
    std::vector<double> placed;
    int tried = 0, unturned = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      const cv::Vec2d q = turn * cv::Vec2d(a.pixels[i].x - centre.x, a.pixels[i].y - centre.y);
      const cv::Point2f expected(float(q[0] + centre.x), float(q[1] + centre.y));
      for (size_t j = 0; j < b.size(); ++j) {
        if (cv::norm(b.pixels[j] - expected) > 0.7) continue;
        ++tried;
        const cv::Point2f before = b.pixels[j];
        const std::optional<cv::Point2f> at = placeOnto(a, int(i), b, int(j), cv::Matx22f(turn));
        EXPECT_EQ(b.pixels[j], before);
        if (at) placed.push_back(cv::norm(*at - expected));
        const std::optional<cv::Point2f> plain = placeOnto(a, int(i), b, int(j));
        unturned += plain && cv::norm(*plain - expected) < 0.1;
        break;
      }
    }
    ASSERT_GT(tried, 150) << degrees;
    EXPECT_GT(placed.size(), 0.75 * tried) << degrees;
    std::nth_element(placed.begin(), placed.begin() + placed.size() / 2, placed.end());
    EXPECT_LT(placed[placed.size() / 2], 0.08) << degrees;
    EXPECT_LT(unturned, tried / 10) << degrees;
  }
}

// A view from a camera tilted by 20 degrees and crabbed by 15 from the first: the ground's
// patches show stretched, more on one side of the image than on the other, as well as turned.
// Warped as the pair's ground homography says, a's patch places the match to a tenth of a
// pixel; turned alone, it places fewer matches and those worse.
TEST(FrameFeatures, AMatchIsPlacedOntoTheTextureOfATiltedAndCrabbedView) {
  const cv::Mat image = testing::renderedTestFrame();
  const CameraIntrinsics camera = cameraOf(640, 480, 544);
  const Eigen::Matrix3d k{{544, 0, 319.5}, {0, 544, 239.5}, {0, 0, 1}};
  const double crab = 15.0 * M_PI / 180.0;
  const Eigen::Matrix3d turn = (Eigen::AngleAxisd(crab, Eigen::Vector3d::UnitZ()) *
                                Eigen::AngleAxisd(20.0 * M_PI / 180.0, Eigen::Vector3d::UnitX()))
                                   .toRotationMatrix();
  Eigen::Matrix3d h = k * turn * k.inverse();
  // The image's centre kept in place, so that most of a shows in b.
  const Eigen::Vector3d centre = h * Eigen::Vector3d(319.5, 239.5, 1.0);
  h = Eigen::Matrix3d{{1, 0, 319.5 - centre.x() / centre.z()},
                      {0, 1, 239.5 - centre.y() / centre.z()},
                      {0, 0, 1}} *
      h;
  cv::Matx33d ground;
  for (int e = 0; e < 9; ++e) ground(e / 3, e % 3) = h(e / 3, e % 3);
  cv::Mat tilted;
  cv::warpPerspective(image, tilted, cv::Mat(ground), image.size(), cv::INTER_CUBIC,
                      cv::BORDER_REPLICATE);
  RefinementOptions options;
  options.detector = FeatureDetector::kOrb;
  options.max_features = 1000;
  const FrameFeatures a = extractFeatures(fw::GImage(image), camera, options);
  const FrameFeatures b = extractFeatures(fw::GImage(tilted), camera, options);
  PairGeometry pair;
  pair.b_from_a = turn;
  pair.ground = ground;
  const cv::Matx22f turned(std::cos(crab), -std::sin(crab), std::sin(crab), std::cos(crab));
  std::vector<double> warped, only_turned;
  int tried = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const cv::Point2f p = a.pixels[i];
    const double w = ground(2, 0) * p.x + ground(2, 1) * p.y + ground(2, 2);
    const cv::Point2f expected(float((ground(0, 0) * p.x + ground(0, 1) * p.y + ground(0, 2)) / w),
                               float((ground(1, 0) * p.x + ground(1, 1) * p.y + ground(1, 2)) / w));
    for (size_t j = 0; j < b.size(); ++j) {
      if (cv::norm(b.pixels[j] - expected) > 0.7) continue;
      ++tried;
      if (const auto at = placeOnto(a, int(i), b, int(j), pair.warpAt(p)))
        warped.push_back(cv::norm(*at - expected));
      if (const auto at = placeOnto(a, int(i), b, int(j), turned))
        only_turned.push_back(cv::norm(*at - expected));
      break;
    }
  }
  const auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  ASSERT_GT(tried, 150);
  EXPECT_GT(warped.size(), 0.8 * tried);
  EXPECT_GE(warped.size(), only_turned.size());
  EXPECT_LT(median(warped), 0.1);
  EXPECT_LT(median(warped), median(only_turned));
}

}  // namespace
}  // namespace sfm
