#pragma once

#include <opencv2/core.hpp>

// The DOM (8-bit BGR) with its pixels without weight (8-bit, 0 = not seen) filled from the
// seen ones by push-pull: weighted averages down a pyramid, pulled back up into the holes.
// Their white would otherwise bleed into the coarse bands of the multi-band blend and lighten
// the products along the edge of the data. Seen pixels keep their colour; a DOM seen
// everywhere or nowhere comes back as it is. A DOM not 8-bit BGR, or a weight not 8-bit of
// its size, is refused with std::invalid_argument.
cv::Mat domWithHolesFilled(const cv::Mat& dom, const cv::Mat& weight);
