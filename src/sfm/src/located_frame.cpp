#include "located_frame.h"

#include "framework/map_point.h"

#include <opencv2/core/types.hpp>

namespace sfm {

std::shared_ptr<MapFrame> buildLocatedFrame(const IncomingFrame& in, const SE3& world_from_camera,
                                            const std::vector<SparsePoint>& points,
                                            uint64_t* next_map_point_id) {
  // Flag bit 0: key-point colours keep the image's blue-green-red byte order.
  auto frame = std::make_shared<MapFrame>(in.id, in.timestamp, in.image, in.image_path, in.camera,
                                          in.gps, 1);
  std::vector<cv::KeyPoint> keypoints;
  keypoints.reserve(points.size());
  for (const SparsePoint& p : points) keypoints.emplace_back(p.x, p.y, 1.0f);
  frame->setKeyPoints(keypoints, fw::GImage());
  for (size_t i = 0; i < points.size(); ++i) {
    auto point = std::make_shared<fw::MapPoint>((*next_map_point_id)++, points[i].world);
    frame->addObservation(point, i, true);
  }
  frame->setImage(fw::GImage(), 0);
  frame->setPose(world_from_camera);
  return frame;
}

std::shared_ptr<MapFrame> buildRefinedFrame(
    const IncomingFrame& in, const SE3& world_from_camera, const fw::Camera& camera,
    const std::vector<cv::Point2f>& key_points,
    const std::vector<std::shared_ptr<fw::MapPoint>>& map_points) {
  auto frame =
      std::make_shared<MapFrame>(in.id, in.timestamp, in.image, in.image_path, camera, in.gps, 1);
  std::vector<cv::KeyPoint> keypoints;
  keypoints.reserve(key_points.size());
  for (const cv::Point2f& p : key_points) keypoints.emplace_back(p, 1.0f);
  frame->setKeyPoints(keypoints, fw::GImage());
  for (size_t i = 0; i < map_points.size(); ++i) frame->addObservation(map_points[i], i, true);
  frame->setImage(fw::GImage(), 0);
  frame->setPose(world_from_camera);
  return frame;
}

}  // namespace sfm
