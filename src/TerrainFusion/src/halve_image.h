#pragma once

#include <opencv2/core.hpp>

// Nearest-neighbour resize to (columns / 2) x (rows / 2); an image narrower or lower than 2
// pixels gives an empty one.
void halveImage(const cv::Mat& source, cv::Mat& destination);
