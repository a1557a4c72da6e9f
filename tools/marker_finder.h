#pragma once

#include <opencv2/core.hpp>

namespace flight {

// Centre of brightness of a survey marker (a bright disc on a dark square) drawn near
// `guess`, looked for in a square window of the given half size in pixels, which must stay
// inside the marker's dark square. False when no bright disc is there.
bool findMarkerCentre(const cv::Mat& image, cv::Point2d guess, int half_window, cv::Point2d* centre);

}  // namespace flight
