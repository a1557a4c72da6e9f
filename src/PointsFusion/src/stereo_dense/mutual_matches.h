#pragma once

// Brute-force matching of binary descriptors that keeps only pairs each side agrees on.

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

namespace mutual_matches {

// Pairs (i, j) where row j of `to` is the nearest to row i of `from` by Hamming distance,
// nearer than `ratio` times the second nearest, and row i likewise the nearest to row j:
// what a brute-force two-nearest search both ways with a ratio test keeps, from one
// computation of each distance. A tie passes no ratio. In the order of i; none when either
// side has fewer than two rows or the descriptors are not 8-bit rows of one width.
std::vector<std::pair<int, int>> find(const cv::Mat& from, const cv::Mat& to, double ratio);

}  // namespace mutual_matches
