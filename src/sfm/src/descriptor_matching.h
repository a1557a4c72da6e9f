#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace sfm {

// The two nearest rows of `train` to one row of `query`, by Hamming distance for binary
// descriptors and Euclidean distance otherwise. `second` is infinite when train has one row.
struct NearestTwo {
  int best = -1;
  double best_distance = 0.0;
  double second_distance = 0.0;
};

// For every row of `query` (both matrices of one descriptor type and width).
std::vector<NearestTwo> nearestTwo(const cv::Mat& query, const cv::Mat& train);

}  // namespace sfm
