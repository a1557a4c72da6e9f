#pragma once

#include <vector>

// Fits a calibration (width, height, fx, fy, cx, cy, distortion...) to an image of another
// size: the calibration is cropped about its centre to the image's aspect ratio, then scaled
// to the image's size. Distortion values are kept. The caller guarantees image columns and
// rows of at least 1 and a calibration of at least six entries with width and height >= 1.
std::vector<double> fitCalibrationToImage(const std::vector<double>& calibration, int columns,
                                          int rows);
