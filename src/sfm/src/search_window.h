#pragma once

#include "refinement_block.h"
#include "refinement_options.h"

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

}  // namespace sfm
