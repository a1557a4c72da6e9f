#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace fw {

// Decodes a baseline or progressive colour JPEG (three components) straight into 8-bit BGR
// through libjpeg, reduced by `factor` (1, 2, 4 or 8) by its DCT scaling. The pixels are the
// ones OpenCV's decoder gives for the same file; what they share is asked of libjpeg once,
// without OpenCV's second header pass and copy.
// False, with `out` untouched, for anything this path does not take on: a file libjpeg
// refuses or only warns about (corrupt or truncated data), grey or CMYK files, an image
// larger than OpenCV would decode. The caller then decodes through OpenCV as before, so those
// files come out exactly as they always did.
bool decodeColourJpegDirectly(const std::vector<unsigned char>& bytes, int factor, cv::Mat& out);

}  // namespace fw
