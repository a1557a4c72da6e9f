#include "src/PointsFusion/src/stereo_dense/pair_motion.h"

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/tracked_matches.h"

#include "framework/map_point.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

constexpr double kFocal = 800.0;

cv::Matx33d turnAboutAxis(const cv::Vec3d& axis, double degrees) {
  cv::Mat R;
  cv::Rodrigues(cv::Mat(axis * (degrees * CV_PI / 180.0 / cv::norm(axis))), R);
  return cv::Matx33d(R);
}

double degreesBetween(const cv::Matx33d& a, const cv::Matx33d& b) {
  return std::acos(std::clamp((cv::trace(a.t() * b) - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / CV_PI;
}

// A camera 100 m above ground (relief up to `relief` metres) and a second one 30 m along its
// x axis, turned by 3 degrees: 600 ground points seen by both, in normalised coordinates with
// a tenth of a pixel of noise.
struct Scene {
  cv::Matx33d R = turnAboutAxis({0.2, 0.1, 1.0}, 3.0);
  cv::Vec3d t{-30.0, 1.0, 0.5};
  pair_motion::Correspondences matches;

  explicit Scene(double relief) {
    cv::RNG rng(7);
    while (matches.first.size() < 600) {
      const double x = rng.uniform(-0.6, 0.6), y = rng.uniform(-0.45, 0.45);
      const double depth = 100.0 - relief * std::max(0.0, std::sin(7 * x) * std::cos(5 * y));
      const cv::Vec3d p(x * depth, y * depth, depth), q = R * p + t;
      if (!(q[2] > 0) || std::abs(q[0] / q[2]) > 0.6 || std::abs(q[1] / q[2]) > 0.45) continue;
      const auto noisy = [&](double v) { return v + rng.gaussian(0.1) / kFocal; };
      matches.first.emplace_back(noisy(x), noisy(y));
      matches.second.emplace_back(noisy(q[0] / q[2]), noisy(q[1] / q[2]));
    }
  }
};

TEST(PairMotion, EpipolarErrorMeasuresHowFarThePosesShearTheRows) {
  const Scene scene(10.0);
  EXPECT_LT(pair_motion::epipolarError(scene.matches, scene.R, scene.t, kFocal), 0.3);
  // The length of t does not matter, a turn of a degree about the optical axis does.
  EXPECT_LT(pair_motion::epipolarError(scene.matches, scene.R, scene.t * 0.01, kFocal), 0.3);
  const cv::Matx33d off = turnAboutAxis({0, 0, 1}, 1.0) * scene.R;
  EXPECT_GT(pair_motion::epipolarError(scene.matches, off, scene.t, kFocal), 2.0);
  EXPECT_TRUE(std::isinf(pair_motion::epipolarError({}, scene.R, scene.t, kFocal)));
  EXPECT_TRUE(std::isinf(pair_motion::epipolarError(scene.matches, scene.R, {0, 0, 0}, kFocal)));
}

// Poses off by a heading error of 12 degrees (an autopilot's course written as the heading)
// take the images' rotation and baseline direction and keep their baseline's length; poses
// that fit stay as they are; a motion far from the poses' is not taken for a correction.
TEST(PairMotion, ThePosesMotionIsCorrectedOnlyWhereTheImagesTellBetterNearBy) {
  for (const double relief : {10.0, 0.0}) {  // flat ground has a twin solution
    SCOPED_TRACE(relief);
    const Scene scene(relief);
    cv::Matx33d R = turnAboutAxis({0, 0, 1}, 12.0) * scene.R;
    cv::Vec3d t = scene.t * 1.05;
    bool corrected = false;
    double before = 0, after = 0;
    pair_motion::correct(scene.matches, kFocal, R, t, corrected, &before, &after);
    ASSERT_TRUE(corrected);
    EXPECT_GT(before, 10.0);
    EXPECT_LT(after, pair_motion::kMaxEpipolarError);
    EXPECT_LT(degreesBetween(R, scene.R), 1.0)
        << "a narrow view tells the rotation less well than the rows";
    EXPECT_NEAR(cv::norm(t), cv::norm(scene.t) * 1.05, 1e-9);
    EXPECT_GT(t.dot(scene.t) / (cv::norm(t) * cv::norm(scene.t)), std::cos(2 * CV_PI / 180));

    R = scene.R;
    t = scene.t;
    pair_motion::correct(scene.matches, kFocal, R, t, corrected);
    EXPECT_FALSE(corrected);
    EXPECT_EQ(degreesBetween(R, scene.R), 0.0);

    R = turnAboutAxis({0, 0, 1}, 60.0) * scene.R;
    const cv::Matx33d far = R;
    pair_motion::correct(scene.matches, kFocal, R, t, corrected);
    EXPECT_FALSE(corrected);
    EXPECT_EQ(degreesBetween(R, far), 0.0);
  }
  // Too few matches tell nothing.
  Scene few(10.0);
  few.matches.first.resize(pair_motion::kMinInliers - 1);
  few.matches.second.resize(pair_motion::kMinInliers - 1);
  EXPECT_TRUE(pair_motion::motionsOf(few.matches, kFocal).empty());
}

// Tracks the poses were adjusted to settle the pair; a turn of a degree, or too few tracks
// to tell, leave it to the images.
TEST(PairMotion, OnlyEnoughTracksThatFitThePosesSettleThem) {
  const Scene scene(10.0);
  EXPECT_TRUE(pair_motion::fitsTracks(scene.matches, scene.R, scene.t, kFocal));
  EXPECT_TRUE(pair_motion::fitsTracks(scene.matches, scene.R, scene.t * 3.0, kFocal));
  const cv::Matx33d off = turnAboutAxis({0, 0, 1}, 1.0) * scene.R;
  EXPECT_FALSE(pair_motion::fitsTracks(scene.matches, off, scene.t, kFocal));
  EXPECT_FALSE(pair_motion::fitsTracks(scene.matches, scene.R, {0, 0, 0}, kFocal));
  pair_motion::Correspondences few = scene.matches;
  few.first.resize(pair_motion::kMinInliers);
  few.second.resize(pair_motion::kMinInliers);
  EXPECT_TRUE(pair_motion::fitsTracks(few, scene.R, scene.t, kFocal));
  few.second.pop_back();
  EXPECT_FALSE(pair_motion::fitsTracks(few, scene.R, scene.t, kFocal));
  EXPECT_FALSE(pair_motion::fitsTracks({}, scene.R, scene.t, kFocal));
}

// Features whose points name their rows, so that matches tell which rows they paired.
pair_motion::ViewFeatures indexed(const cv::Mat& descriptors) {
  pair_motion::ViewFeatures f;
  f.descriptors = descriptors;
  for (int i = 0; i < descriptors.rows; ++i) f.points.emplace_back(i, 0);
  return f;
}

TEST(PairMotion, MatchedFeaturesGiveThePointsOfTheirRows) {
  cv::RNG rng(3);
  cv::Mat from(60, 32, CV_8U), to(80, 32, CV_8U);
  rng.fill(from, cv::RNG::UNIFORM, 0, 256);
  rng.fill(to, cv::RNG::UNIFORM, 0, 256);
  for (int i = 0; i < 20; ++i) from.row(i).copyTo(to.row(79 - 3 * i));  // true partners
  const pair_motion::Correspondences matches =
      pair_motion::matchFeatures(indexed(from), indexed(to));
  ASSERT_EQ(matches.first.size(), 20u);
  ASSERT_EQ(matches.second.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(matches.first[i], cv::Point2d(i, 0));
    EXPECT_EQ(matches.second[i], cv::Point2d(79 - 3 * i, 0));
  }
  // A count that disagrees with the descriptors is no feature set.
  pair_motion::ViewFeatures broken = indexed(to);
  broken.points.pop_back();
  EXPECT_TRUE(pair_motion::matchFeatures(indexed(from), broken).first.empty());
}

// An image wider than the match width is reduced before its features are sought: the points
// it gives are those of the reduced image seen through its own camera, pixel centres aligned.
TEST(PairMotion, FeaturesOfAReducedImageLieWhereTheFullImagesCameraSeesThem) {
  // Blotchy noise: corners at every scale.
  cv::Mat noise(300, 400, CV_8UC3), full, reduced;
  cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::resize(noise, full, cv::Size(2000, 1500), 0, 0, cv::INTER_CUBIC);
  cv::resize(full, reduced, cv::Size(1000, 750), 0, 0, cv::INTER_AREA);
  const cv::Mat D = cv::Mat::zeros(5, 1, CV_64F);
  const cv::Mat fullK = (cv::Mat_<double>(3, 3) << 1700, 0, 999.5, 0, 1700, 749.5, 0, 0, 1);
  const cv::Mat reducedK = (cv::Mat_<double>(3, 3) << 850, 0, 499.5, 0, 850, 374.5, 0, 0, 1);
  const pair_motion::ViewFeatures a = pair_motion::featuresOf(full, fullK, D);
  const pair_motion::ViewFeatures b = pair_motion::featuresOf(reduced, reducedK, D);
  ASSERT_GT(a.points.size(), 500u);
  ASSERT_EQ(a.points.size(), b.points.size());
  for (size_t i = 0; i < a.points.size(); ++i) {
    EXPECT_NEAR(a.points[i].x, b.points[i].x, 1e-9);
    EXPECT_NEAR(a.points[i].y, b.points[i].y, 1e-9);
  }
  EXPECT_TRUE(pair_motion::featuresOf(cv::Mat(), fullK, D).points.empty());
  EXPECT_TRUE(
      pair_motion::featuresOf(cv::Mat(40, 40, CV_32F, cv::Scalar(1)), fullK, D).points.empty());
}

// The neighbour's pose is off by 8 degrees of heading while its image shows the scene from
// the true one: rectified by the poses the rows shear by tens of pixels; the images' motion
// gives the reference a depth map that matches the ground.
// Two views 30 m apart, the second recorded 8 degrees off its true heading.
struct HeadingOffPair {
  densetest::View first, second, recorded;
  HeadingOffPair() {
    first.camera = second.camera = {640, 480, 500, 500, 319.5, 239.5};
    second.east = 30;
    recorded = second;
    recorded.yaw = 8;
  }
};

TEST(PairMotion, APairWhosePoseIsOffByDegreesStillGetsItsDepthMap) {
  DENSETEST_SKIP_UNDER_TSAN();
  const densetest::Ground ground(false);
  const HeadingOffPair views;
  const densetest::View &first = views.first, &second = views.second, &recorded = views.recorded;
  auto reference = densetest::renderedRecord(ground, first, 1);
  auto neighbour =
      densetest::renderedRecord(ground, recorded, 2, densetest::renderImage(ground, second));
  densetest::LogLines log;
  DenseDepth stage(1.0f, std::make_shared<SGM_CPU>());
  ASSERT_TRUE(stage.ComputeDepth(reference, neighbour));
  EXPECT_EQ(log.count(fw::kLogInfo, "rectified by their images' relative rotation"), 1);
  const densetest::DepthScore score = densetest::scoreDepth(ground, *reference, 2, 0.01);
  EXPECT_GE(score.covered, 0.4);
  EXPECT_GE(score.accurate, 0.9);
}

// Key points of the reference's ground (a grid of its pixels) where `seen` sees them, each
// observing one map point that `frame` shares with every other frame given the same points.
void trackGround(const densetest::Ground& ground, const densetest::View& reference,
                 const densetest::View& seen, fw::MapFrame& frame) {
  std::vector<cv::Point2f> grid;
  for (int gy = 1; gy < 12; ++gy)
    for (int gx = 1; gx < 16; ++gx)
      grid.emplace_back(float(reference.camera[0] * gx / 16), float(reference.camera[1] * gy / 12));
  const cv::Matx33d rotation = densetest::enuFromCamera(reference);
  const cv::Vec3d origin(reference.east, reference.north, reference.height);
  const SE3 cameraFromWorld = densetest::worldFromCamera(seen).inverse();
  const fw::Camera camera(seen.camera);
  std::vector<cv::KeyPoint> keypoints;
  std::vector<uint64_t> ids;
  const std::vector<cv::Point2f> rays = densetest::raysOf(reference.camera, grid);
  for (size_t i = 0; i < rays.size(); ++i) {
    double t = 0;
    const cv::Vec3d direction = rotation * cv::Vec3d(rays[i].x, rays[i].y, 1.0);
    if (!ground.intersect(origin, direction, &t, nullptr)) continue;
    const cv::Vec3d p = origin + t * direction;
    const fw::Point2d pixel = camera.Project(cameraFromWorld.transformPoint({p[0], p[1], p[2]}));
    keypoints.emplace_back(cv::Point2f(float(pixel.x), float(pixel.y)), 1.0f);
    ids.push_back(i);
  }
  frame.clearObservations();
  frame.setKeyPoints(keypoints, fw::GImage());
  for (size_t k = 0; k < ids.size(); ++k)
    frame.addObservation(std::make_shared<fw::MapPoint>(ids[k]), k, false);
}

// The neighbour's pose is off by 8 degrees of heading as above, and the two frames share key
// points of map points. Where the poses were adjusted to those key points (they fit the
// recorded poses) the pair is settled by them without its images and keeps its poses; where
// they do not fit, the images are matched and correct the heading as before.
TEST(PairMotion, SharedKeyPointsThatFitThePosesSettleThePairWithoutItsImages) {
  DENSETEST_SKIP_UNDER_TSAN();
  const densetest::Ground ground(false);
  const HeadingOffPair views;
  const densetest::View &first = views.first, &second = views.second, &recorded = views.recorded;
  const cv::Mat secondImage = densetest::renderImage(ground, second);
  for (const bool tracksFitThePoses : {true, false}) {
    SCOPED_TRACE(tracksFitThePoses);
    auto reference = densetest::renderedRecord(ground, first, 1);
    auto neighbour = densetest::renderedRecord(ground, recorded, 2, secondImage);
    trackGround(ground, first, first, *reference->frame);
    trackGround(ground, first, tracksFitThePoses ? recorded : second, *neighbour->frame);
    ASSERT_GE(tracked_matches::of(*reference->frame, *neighbour->frame).first.size(),
              size_t(pair_motion::kMinInliers));
    densetest::LogLines log;
    DenseDepth stage(1.0f, std::make_shared<SGM_CPU>());
    const bool ok = stage.ComputeDepth(reference, neighbour);
    EXPECT_EQ(log.count(fw::kLogInfo, "rectified by their images' relative rotation"),
              tracksFitThePoses ? 0 : 1);
    if (!tracksFitThePoses) {
      ASSERT_TRUE(ok);
      EXPECT_GE(densetest::scoreDepth(ground, *reference, 2, 0.01).accurate, 0.9);
    }
  }
}

}  // namespace
