#pragma once

#include "framework/gimage.h"

#include <vector>

// Height grid (highest point per cell, closed, inner holes filled) and cell weights from
// float (x, y, z) points, x growing with columns and y against rows; cell (0, 0) has its
// top-left corner at (x0, y0). `gsd` and `gsdLat` are the cell's width and height in metres.
// False when the cell size or the grid is empty, the points are not continuous 3-channel
// floats, or no point falls on the grid.
bool fillHeightGrid(const fw::GImage& points, std::vector<fw::GImage>& grids, double x0, double y0,
                    int columns, int rows, double gsd, double gsdLat);
