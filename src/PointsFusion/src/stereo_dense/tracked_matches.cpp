#include "src/PointsFusion/src/stereo_dense/tracked_matches.h"

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"

#include <opencv2/calib3d.hpp>

namespace tracked_matches {

namespace {

// Pixels to normalised, undistorted coordinates through the frame's camera; empty when the
// camera is not one the dense stage takes.
std::vector<cv::Point2d> normalised(fw::MapFrame& frame, const std::vector<cv::Point2d>& pixels) {
  const fw::Camera camera = frame.getCamera(0);
  std::vector<cv::Point2d> points;
  if (!supportedCamera(camera)) return points;
  cv::undistortPoints(pixels, points, cameraMatrix(camera), distortionCoeffs(camera));
  return points;
}

}  // namespace

pair_motion::Correspondences of(fw::MapFrame& first, fw::MapFrame& second) {
  pair_motion::Correspondences matches;
  fw::ObservationMap seenFirst, seenSecond;
  first.getObservations(seenFirst);
  second.getObservations(seenSecond);
  std::vector<cv::Point2d> pixelsFirst, pixelsSecond;
  // Both maps are ordered by the map point's identifier: one merging walk finds the shared.
  auto a = seenFirst.begin();
  auto b = seenSecond.begin();
  while (a != seenFirst.end() && b != seenSecond.end()) {
    if (a->first < b->first) {
      ++a;
    } else if (b->first < a->first) {
      ++b;
    } else {
      cv::Point2f p, q;
      if (first.getKeyPointPosition(int(a->second), p) &&
          second.getKeyPointPosition(int(b->second), q)) {
        pixelsFirst.emplace_back(p.x, p.y);
        pixelsSecond.emplace_back(q.x, q.y);
      }
      ++a;
      ++b;
    }
  }
  if (pixelsFirst.empty()) return matches;
  matches.first = normalised(first, pixelsFirst);
  matches.second = normalised(second, pixelsSecond);
  if (matches.first.empty() || matches.second.empty()) return {};
  return matches;
}

}  // namespace tracked_matches
