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
// whose header claims more than `max_pixels` (by default as many as OpenCV would decode).
// The caller then decodes through OpenCV as before, so those files come out exactly as they
// always did. A few hundred bytes may claim a gigapixel, and a progressive file holds every
// coefficient of the whole image while it decodes (6 bytes a pixel): a caller with a memory
// budget gives its own ceiling.
constexpr unsigned long long kMaxJpegPixels = 1ull << 30;  // OpenCV's CV_IO_MAX_IMAGE_PIXELS
bool decodeColourJpegDirectly(const std::vector<unsigned char>& bytes, int factor, cv::Mat& out,
                              unsigned long long max_pixels = kMaxJpegPixels);

}  // namespace fw
