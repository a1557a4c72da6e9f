#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace fw {

// Whether the bytes are a PNG that decodePngReducedInBands takes: one that is not interlaced
// (an interlaced image is complete only after its last pass, so it cannot be read in bands).
bool isBandDecodablePng(const std::vector<unsigned char>& bytes);

// Decodes such a PNG as 8-bit BGR by the frames' rule (grey becomes three equal channels, 16
// bits keep their high 8, alpha is dropped) and reduces it by `factor` (2, 4 or 8) as
// reduceFrameImage does, a band of rows at a time: the same pixels as a whole decode reduced
// afterwards, while holding only the reduced image and one band of whole rows. Empty when the
// data do not decode.
cv::Mat decodePngReducedInBands(const std::vector<unsigned char>& bytes, int factor);

}  // namespace fw
