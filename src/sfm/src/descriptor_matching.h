#pragma once

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

namespace sfm {

// The two nearest rows of `train` to one row of `query`, by Hamming distance for binary
// (8-bit) descriptors and Euclidean distance for real (32-bit float) ones. `second` is
// infinite when train has one row.
struct NearestTwo {
  int best = -1;
  double best_distance = 0.0;
  double second_distance = 0.0;
};

// For every row of `query` (both matrices of one descriptor type and width).
std::vector<NearestTwo> nearestTwo(const cv::Mat& query, const cv::Mat& train);

// The same among the rows of `train` lying within `radius` of where each query row is
// expected: `expected_at` per query row and `train_at` per train row, in one image's pixels.
// A query row expected at a non-finite place has no match. Fine repetitive texture (the
// furrows of a field) matches many places of an image alike; near where the feature must be
// it is told apart. Places of another count than the rows throw std::invalid_argument.
std::vector<NearestTwo> nearestTwoWithin(const cv::Mat& query,
                                         const std::vector<cv::Point2f>& expected_at,
                                         const cv::Mat& train,
                                         const std::vector<cv::Point2f>& train_at, double radius);

// Mutual nearest neighbours of the rows of `query` among the rows of `train` that pass the
// ratio test (nearest closer than `ratio` times the second nearest): (query row, train row),
// in query row order. With `query_in_train` (where each query row is expected among the train
// rows, whose places are `train_at`) and a positive `radius`, only rows within the radius of
// each other are compared, both ways (as nearestTwoWithin compares them).
std::vector<std::pair<int, int>> mutualMatches(const cv::Mat& query, const cv::Mat& train,
                                               double ratio,
                                               const std::vector<cv::Point2f>* query_in_train,
                                               const std::vector<cv::Point2f>& train_at,
                                               double radius);

// Whether the searches may take the processor's wide vector instructions (population counts,
// byte products) where it has them (the default). Tests turn them off to check the path every
// other processor takes against the same expectations; it is read at each search.
void allowWideVectors(bool allowed);

}  // namespace sfm
