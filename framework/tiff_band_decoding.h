#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace fw {

// Whether the bytes are a TIFF that decodeTiffReducedInBands takes: stored in strips of whole
// rows with interleaved samples, 8 or 16 bits of unsigned grey (black is zero), RGB or RGBA. Other
// layouts (tiles, planes, palettes, YCbCr) are decoded whole.
bool isBandDecodableTiff(const std::vector<unsigned char>& bytes);

// Decodes such a TIFF as 8-bit BGR by the frames' rule (OpenCV's decoding: grey becomes three
// equal channels, alpha is dropped) and reduces it by `factor` (2, 4 or 8) as
// reduceFrameImage does, a band of rows at a time: the same pixels as a whole decode reduced
// afterwards, while holding only the reduced image and one band of whole rows. Empty when the
// data do not decode.
cv::Mat decodeTiffReducedInBands(const std::vector<unsigned char>& bytes, int factor);

}  // namespace fw
