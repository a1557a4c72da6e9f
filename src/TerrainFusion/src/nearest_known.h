#pragma once

#include <opencv2/core.hpp>

// For each cell of `values` (CV_32FC1), the value of the nearest cell where `known` (8-bit,
// the same size) is non-zero, and in `distance` (CV_32FC1) how many cells away that one lies,
// 0 on a known cell (an L2 distance transform; ties go as its labels do). Where no cell is
// known the values come back 0 and the distances the float's largest.
cv::Mat nearestKnown(const cv::Mat& values, const cv::Mat& known, cv::Mat& distance);
