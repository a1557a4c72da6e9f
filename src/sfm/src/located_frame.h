#pragma once

#include "incoming_frame.h"
#include "sparse_ground_points.h"

#include "framework/diy_frame.h"

#include <memory>

namespace sfm {

// The located frame handed to the back end: the mapper frame's identifier, time stamp,
// image path, camera and GPS record, the given pose, and one key point per sparse point
// observing a new map point. Key-point colours come from the incoming image, which the
// located frame does not keep. Map-point identifiers are taken from `next_map_point_id`.
std::shared_ptr<MapFrame> buildLocatedFrame(const IncomingFrame& in, const SE3& world_from_camera,
                                            const std::vector<SparsePoint>& points,
                                            uint64_t* next_map_point_id);

// The located frame of a refined frame: its refined pose and camera, and one key point per
// observed map point (map points are shared with the other frames that see them).
std::shared_ptr<MapFrame> buildRefinedFrame(
    const IncomingFrame& in, const SE3& world_from_camera, const fw::Camera& camera,
    const std::vector<cv::Point2f>& key_points,
    const std::vector<std::shared_ptr<fw::MapPoint>>& map_points);

}  // namespace sfm
