#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Fits a calibration (width, height, fx, fy, cx, cy, distortion...) to an image of another
// size: the calibration is cropped about its centre to the image's aspect ratio, then scaled
// to the image's size. Distortion values are kept. The caller guarantees image columns and
// rows of at least 1 and the calibration of a camera model with intrinsics (6, 7 or 11 entries)
// with width and height >= 1.
std::vector<double> fitCalibrationToImage(const std::vector<double>& calibration, int columns,
                                          int rows);

// Empty when `fitCalibrationToImage` may fit the calibration (width and height first) to an
// image of `columns` x `rows`, or when there is no calibration to fit; otherwise why the
// calibration does not describe that image. The fit crops the calibration to the image's aspect
// ratio: a crop that would leave less than half of the calibration's width or height (a 1 x 65000
// image against 1000 x 750) means the document names another camera or the file is damaged, and its
// pixels would be placed wrongly.
std::string calibrationMismatch(const std::vector<double>& calibration, int64_t columns,
                                int64_t rows);
