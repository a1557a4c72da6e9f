#pragma once

#include <opencv2/core.hpp>

// A pixel of one rectified view whose ground the other view did not see (beyond its image, or
// in the black its rectification leaves) has no match, yet the matcher names a disparity
// there all the same. On faint ground it takes one that lands inside the other image: a
// smaller one than the ground's, a depth metres too far, and along the edge of the pair's
// overlap whole bands of such depths come out, alike in both views of the pair. A pixel is
// therefore judged by the ground's disparity around it (the largest within a reach, the
// nearest ground) as well as by its own: where either match leaves the other view's image,
// the pixel has no depth.
namespace seen_matches {

// Where a pixel's match lies in the other view: at (row + d * rowStep, column + d * colStep)
// for a disparity d. One of the steps is 0, the other +1 or -1.
struct MatchDirection {
  int rowStep = 0;
  int colStep = 0;
};

// The direction for a pair matched along rows (or along columns when `vertical`, the views
// one above the other), the reference being the matcher's left view or not.
MatchDirection directionOf(bool vertical, bool referenceLeft);

// Pixels around a pixel (each way) whose disparities tell the ground's there: wider than the
// bands of wrong disparities seen along the edges of overlaps on faint fields.
constexpr int kGroundReach = 64;

// The pixels (8-bit, 255) of `disparity` (32-bit float, the reference's rectified view) with
// a disparity of at least `smallest` (smaller values are the matcher's rejections) whose
// match, rounded to the nearest pixel, falls outside `otherSeen` (8-bit, non-zero where the
// other rectified view draws on its image, the same size), at the pixel's own disparity or at
// the largest within `reach` pixels. Empty when the sizes or types do not fit, or when the
// direction moves along both axes.
cv::Mat unseenMatches(const cv::Mat& disparity, const cv::Mat& otherSeen, MatchDirection direction,
                      float smallest, int reach = kGroundReach);

}  // namespace seen_matches
