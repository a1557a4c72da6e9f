#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// The one rule by which a frame's image file becomes pixels, for every stage that decodes one:
// 8-bit, three-channel BGR whatever the file holds. Grey becomes three equal channels, 16 bits
// keep their high 8, an alpha channel is dropped. The orientation tag is not applied: the
// calibration describes the pixels as stored. An empty matrix when the bytes do not decode;
// OpenCV's exceptions (an exhausted memory among them) pass to the caller.
namespace fw {

cv::Mat decodeFrameImage(const std::vector<unsigned char>& bytes);

// Reads the frame file at `path` whole into `bytes` (sized once from the file's length);
// false when it cannot be opened or read.
bool readFrameFile(const std::string& path, std::vector<unsigned char>& bytes);

// The frame's image reduced by `factor` (1, 2, 4 or 8) by the same rule, for a stage that
// works on a coarser image than the file holds: ceil(cols / factor) x ceil(rows / factor),
// reduced pixel (x, y) the mean of the source block [x f, (x + 1) f) x [y f, (y + 1) f), so
// that its centre is at source coordinate (x + 0.5) f - 0.5. A JPEG is reduced while it is
// decoded (its DCT scaling: a fraction of the full decode's time and memory), a PNG that is
// not interlaced or a TIFF in strips a band of rows at a time (the memory of the reduced
// image); any other file is decoded whole and reduced by area. Empty when the bytes do not decode;
// an unsupported factor throws std::invalid_argument.
cv::Mat decodeFrameImageReduced(const std::vector<unsigned char>& bytes, int factor);

// A decoded frame image (8-bit BGR) reduced further by `factor` (1 or more) by the same rule:
// ceil(cols / factor) x ceil(rows / factor) means of factor x factor blocks, partial blocks at
// the right and bottom edges taking the pixels they have.
cv::Mat reduceFrameImage(const cv::Mat& image, int factor);

// The largest factor decodeFrameImageReduced takes that is at most `reduction` (1 below 2).
int decodeReductionFor(double reduction);

// Whether decodeFrameImageReduced reduces these bytes while decoding them (a JPEG, a PNG that
// is not interlaced, a TIFF in strips), rather than after decoding them whole.
bool reducesWhileDecoding(const std::vector<unsigned char>& bytes);

// The long side of the copy the front end takes its features from unless its settings name
// another ("sfm.refine.image_long_side"): the dataset decodes frames no coarser than it.
constexpr int kDefaultFeatureImageLongSide = 1600;

// An image that did not come from a file (a ready raster handed over in memory) as 8-bit BGR
// by the same rule. Empty for any other layout (floating point, more than four channels).
cv::Mat bgrOf(const cv::Mat& image);

}  // namespace fw
