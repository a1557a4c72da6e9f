#pragma once

#include <opencv2/core.hpp>

// Ground a frame saw that no frame gave a height: the seam between two depth maps that each
// stopped a few cells short, a turn frame's ground beyond its pair's overlap. Where the
// heights around such a gap lie level, the ground between them does too, and the gap takes
// the nearest of them; a gap beside relief (a roof's edge, a bank, two frames that disagree)
// stays open rather than get a height metres off.
namespace level_gaps {

// Cells from the nearest height that a gap is filled to.
constexpr int kReach = 4;
// Metres the heights within kReach cells of a gap may span for it to be filled.
constexpr float kMaxSpan = 1.0f;

// Fills the cells of the frame's `dsm` (one cell per 4 x 4 pixels of `weight`) that the frame
// saw (a pixel of non-zero weight) and where neither it nor `stored` (heights already in the
// tiles, the DSM's size) holds a height, where such a height lies within kReach cells and the
// heights within kReach cells span at most kMaxSpan: with the nearest one, the frame's own
// before a stored one in the same cell. Returns the cells filled, marked in `filled` (8-bit,
// the DSM's size, left empty when none is); nothing changes when the sizes or types do not fit.
int fillLevelGaps(cv::Mat& dsm, const cv::Mat& weight, const cv::Mat& stored, cv::Mat& filled);

}  // namespace level_gaps
