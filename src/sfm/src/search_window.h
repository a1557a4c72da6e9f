#pragma once

#include "refinement_block.h"
#include "refinement_options.h"

#include <opencv2/core.hpp>

#include <vector>

namespace sfm {

// Pixels within which a feature of frame `a` is looked for in frame `b` around where their
// recorded poses put it: the held sigmas of both frames' positions (over the height) and
// attitudes, in pixels of `focal`, times `search_sigmas`, but no less than what the relief
// beside the level ground the features are placed on may move them; 0 (anywhere) when that
// reaches across the image's `long_side`. A heading held loosely (a course written as the
// heading, or none recorded) counts with its loose sigma: a window set by the record's own
// sigma would leave the true match of a feature far from the centre outside it, and on
// repetitive texture a wrong one inside it would take its place.
double searchRadius(const BlockFrame& a, const BlockFrame& b, double focal, double long_side,
                    const RefinementOptions& options);

// Where each feature of `a` is looked for in `b` (b's pixels; not finite where nothing tells)
// and within how many pixels; no places and a radius of 0 to look anywhere.
struct SearchWindow {
  std::vector<cv::Point2f> expected;
  double radius = 0.0;
};

// The window of `searchRadius` around where the recorded poses put a's features while the
// headings are trusted. While they are held loosely, a placed `a` flown the same way as `b`
// tells where b is: b's recorded attitude turned as a's record had to be turned to a's pose
// (an autopilot's course written as the heading, off by a crab angle the wind holds along a
// strip), and b's fix moved as a's fix lies from a's centre (a receiver's lag and drift).
// What is left is the noise of the two records' attitudes and of their fixes. Anywhere
// otherwise.
SearchWindow searchWindow(const RefinementBlock& block, const BlockFrame& a, const BlockFrame& b,
                          double focal, double long_side, const RefinementOptions& options);

}  // namespace sfm
