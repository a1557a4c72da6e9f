#include "src/PointsFusion/src/stereo_dense/tracked_matches.h"

#include "framework/diy_frame.h"
#include "framework/map_point.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <memory>
#include <vector>

namespace {

// A 640 x 480 camera with barrel distortion: normalised points must come back undistorted.
const std::vector<double> kCamera = {640, 480, 500, 510, 321, 238, -0.1, 0.02, 0.001, -0.001, 0};

// Pixels of normalised, undistorted points through kCamera.
std::vector<cv::Point2f> pixelsOf(const std::vector<cv::Point2d>& points) {
  std::vector<cv::Point3d> rays;
  for (const cv::Point2d& p : points) rays.emplace_back(p.x, p.y, 1.0);
  const cv::Mat K =
      (cv::Mat_<double>(3, 3) << kCamera[2], 0, kCamera[4], 0, kCamera[3], kCamera[5], 0, 0, 1);
  const cv::Mat D =
      (cv::Mat_<double>(5, 1) << kCamera[6], kCamera[7], kCamera[8], kCamera[9], kCamera[10]);
  std::vector<cv::Point2d> pixels;
  cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, D, pixels);
  return std::vector<cv::Point2f>(pixels.begin(), pixels.end());
}

// A frame whose key point i lies at normalised points[i] and observes the map point ids[i].
std::shared_ptr<MapFrame> frameSeeing(uint64_t id, const std::vector<cv::Point2d>& points,
                                      const std::vector<uint64_t>& ids,
                                      const std::vector<double>& camera = kCamera) {
  auto frame = std::make_shared<MapFrame>(id, 0.0, fw::GImage(), "", fw::Camera(camera),
                                          std::vector<double>(), 1);
  std::vector<cv::KeyPoint> keypoints;
  for (const cv::Point2f& p : pixelsOf(points)) keypoints.emplace_back(p, 1.0f);
  frame->setKeyPoints(keypoints, fw::GImage());
  for (size_t i = 0; i < ids.size(); ++i)
    frame->addObservation(std::make_shared<fw::MapPoint>(ids[i]), i, false);
  return frame;
}

// Map points 10..14 are seen by both frames, listed in other orders; each frame also sees
// points of its own. Each correspondence pairs the two key points of one map point, in the
// order of the map points' identifiers, undistorted.
TEST(TrackedMatches, KeyPointsOfOneMapPointArePairedUndistorted) {
  const std::vector<cv::Point2d> a = {{0.1, 0.2}, {-0.3, 0.1}, {0.25, -0.2},
                                      {0.0, 0.0}, {0.4, 0.3},  {-0.2, -0.3}};
  const std::vector<cv::Point2d> b = {{0.12, 0.21}, {0.5, 0.1},   {0.02, 0.01},
                                      {0.41, 0.32}, {-0.28, 0.1}, {0.27, -0.19}};
  const auto first = frameSeeing(1, a, {12, 10, 14, 11, 13, 3});
  const auto second = frameSeeing(2, b, {12, 7, 11, 13, 10, 14});
  const pair_motion::Correspondences matches = tracked_matches::of(*first, *second);
  // By map point 10, 11, 12, 13, 14: key points (1, 4), (3, 2), (0, 0), (4, 3), (2, 5).
  const std::vector<std::pair<int, int>> expected = {{1, 4}, {3, 2}, {0, 0}, {4, 3}, {2, 5}};
  ASSERT_EQ(matches.first.size(), expected.size());
  ASSERT_EQ(matches.second.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(matches.first[i].x, a[expected[i].first].x, 1e-5);
    EXPECT_NEAR(matches.first[i].y, a[expected[i].first].y, 1e-5);
    EXPECT_NEAR(matches.second[i].x, b[expected[i].second].x, 1e-5);
    EXPECT_NEAR(matches.second[i].y, b[expected[i].second].y, 1e-5);
  }
  // The pair read the other way round gives the same matches swapped.
  const pair_motion::Correspondences swapped = tracked_matches::of(*second, *first);
  EXPECT_EQ(swapped.first, matches.second);
  EXPECT_EQ(swapped.second, matches.first);
}

TEST(TrackedMatches, FramesThatShareNoUsableMapPointGiveNone) {
  const std::vector<cv::Point2d> points = {{0.1, 0.2}, {-0.3, 0.1}};
  // Map points of their own only, as a frame that kept its direct pose has.
  EXPECT_TRUE(tracked_matches::of(*frameSeeing(1, points, {1, 2}), *frameSeeing(2, points, {3, 4}))
                  .first.empty());
  // No map point at all.
  EXPECT_TRUE(tracked_matches::of(*frameSeeing(1, points, {}), *frameSeeing(2, points, {1, 2}))
                  .first.empty());
  // A camera the dense stage does not take.
  const std::vector<double> odd = {640, 480, 500, 500, 320, 240, 0.1};
  const pair_motion::Correspondences none =
      tracked_matches::of(*frameSeeing(1, points, {1, 2}), *frameSeeing(2, points, {1, 2}, odd));
  EXPECT_TRUE(none.first.empty());
  EXPECT_TRUE(none.second.empty());
}

}  // namespace
