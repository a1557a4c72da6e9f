#pragma once

#include "framework/map_frame.h"

#include <opencv2/core.hpp>

namespace fw {

// A stage's image of `frame` reduced by `factor` from its file, taken from the reduced copy
// the frame carries ("GetImageReduction" above 1: the mapper hands the back end one) when
// `factor` is a multiple of the copy's reduction and the copy is of a file of `camera`'s
// size, reduced further by block means (reduceFrameImage). Empty when the frame carries no
// copy that fits; a whole image in memory never stands in for the file.
cv::Mat carriedFrameImage(MapFrame& frame, cv::Size camera, int factor);

}  // namespace fw
