#pragma once

// Flight height and zoom level of a located map: how high the camera flew over the ground
// its key points see, as a ground sample distance, and the Web-Mercator zoom that fits it.

#include "framework/map_frame.h"
#include "values/point.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace map_setup {

// Every frame of up to 100, every second of up to 500, beyond that every (n / 500 + 2)th,
// at most every 10th.
size_t samplingStep(size_t frameCount);

// The frame's key points with depth, in its local east-north-up frame centred on the
// camera; empty without a GPS position or without such key points.
std::vector<pi::Point3d> localKeyPoints(fw::MapFrame& frame);

// The camera's height above the ground its points see: the ground is the mean height of the
// largest cluster of point heights (within 10 m of at least 5 others), else of all points.
// None for no points.
std::optional<double> heightAboveGround(const std::vector<pi::Point3d>& points);

// fx of the frame's camera when it has one: at least three parameters and a finite fx > 0.
std::optional<double> focalLength(fw::MapFrame& frame);

}  // namespace map_setup
