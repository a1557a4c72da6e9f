#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The one rule by which a frame's image file becomes pixels, for every stage that decodes one:
// 8-bit, three-channel BGR whatever the file holds. Grey becomes three equal channels, 16 bits
// keep their high 8, an alpha channel is dropped. The orientation tag is not applied: the
// calibration describes the pixels as stored. An empty matrix when the bytes do not decode;
// OpenCV's exceptions (an exhausted memory among them) pass to the caller.
namespace fw {

cv::Mat decodeFrameImage(const std::vector<unsigned char>& bytes);

// An image that did not come from a file (a ready raster handed over in memory) as 8-bit BGR
// by the same rule. Empty for any other layout (floating point, more than four channels).
cv::Mat bgrOf(const cv::Mat& image);

}  // namespace fw
