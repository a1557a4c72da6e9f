#pragma once

#include <opencv2/core.hpp>

namespace flight {

// Centre of brightness of a survey marker (a bright disc on a dark square) drawn near
// `guess`, looked for within a circle of `radius` pixels that holds the disc and stays on
// the marker's dark rim (a sloping marker is drawn sheared, so its square's corners are
// not safe). False when no bright disc is there.
bool findMarkerCentre(const cv::Mat& image, cv::Point2d guess, double radius, cv::Point2d* centre);

}  // namespace flight
