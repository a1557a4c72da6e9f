#pragma once

// The front end's own correspondences of two frames: the key points of both that observe one
// map point. A frame refined from its images carries them, and its pose was adjusted to fit
// them, so they tell whether a pair's poses fit its images without seeking features in the
// images again. A frame that kept its direct pose observes map points of its own only.

#include "framework/map_frame.h"
#include "src/PointsFusion/src/stereo_dense/pair_motion.h"

namespace tracked_matches {

// The key points of `first` and `second` that observe one map point, in normalised,
// undistorted coordinates of each frame's camera (its 6 or 11 parameters), in the order of
// the map points' identifiers. Empty when the frames share no map point or a camera is not
// usable; a key point the frame does not hold is left out.
pair_motion::Correspondences of(fw::MapFrame& first, fw::MapFrame& second);

}  // namespace tracked_matches
