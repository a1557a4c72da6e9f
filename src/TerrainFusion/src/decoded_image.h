#pragma once

#include <opencv2/core.hpp>

// A frame image as the colouring reads it: decoded reduced by `factor` from the camera's
// pixels, reduced pixel (x, y) covering camera pixels [x f, (x + 1) f) x [y f, (y + 1) f), so
// that its centre lies at camera coordinate (x + 0.5) f - 0.5.
struct DecodedImage {
  cv::Mat image;  // 8-bit BGR, ceil(width / factor) x ceil(height / factor) of the camera's
  cv::Mat seen;   // empty, or 8-bit of the image's size, 0 where the image has no content
  int factor = 1;
};
