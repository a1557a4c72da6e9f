#pragma once

#include "framework/gimage.h"

#include <opencv2/core.hpp>

#include <vector>

// Height grid (highest point per cell, closed, inner holes filled) and cell weights from
// float (x, y, z) points, x growing with columns and y against rows; cell (0, 0) has its
// top-left corner at (x0, y0). `gsd` and `gsdLat` are the cell's width and height in metres.
// False when the cell size or the grid is empty, the points are not continuous 3-channel
// floats, or no point falls on the grid.
bool fillHeightGrid(const fw::GImage& points, std::vector<fw::GImage>& grids, double x0, double y0,
                    int columns, int rows, double gsd, double gsdLat);

// Fills the hole cells of `heights` with the Gaussian-weighted mean of their valid
// neighbours in a k x k window (values read as before the pass); halves each hole's weight.
void gaussianWeightFilter(cv::Mat& heights, cv::Mat& weights, int k, double sigma,
                          const std::vector<cv::Point>& holes);
