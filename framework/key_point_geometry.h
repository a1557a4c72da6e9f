#pragma once

// The sparse geometry a located frame carries in its key points: the depth of a key point and
// its position in the camera's coordinates, under one validity rule for every user.

#include "framework/camera.h"
#include "framework/map_frame.h"
#include "values/point.h"

#include <optional>

namespace fw {

// The key point's depth along its camera's z axis, 1 / its inverse depth, when it has a
// usable one: an inverse depth that is positive and finite, and a finite depth. A negative
// inverse depth would put the point behind the camera that saw it, so it is no depth at all.
std::optional<double> keyPointDepth(MapFrame& frame, int index);

// The key point in its camera's coordinates: the ray through its pixel scaled by its depth.
// Nothing when it has no pixel or no usable depth, or when the point is not finite.
std::optional<pi::Point3d> keyPointInCamera(MapFrame& frame, const Camera& camera, int index);

}  // namespace fw
