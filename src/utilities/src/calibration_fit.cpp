#include "calibration_fit.h"

#include "framework/camera_parameters.h"

#include <algorithm>
#include <cstdint>
#include <string>

std::vector<double> fitCalibrationToImage(const std::vector<double>& calibration, int columns,
                                          int rows) {
  fw::CameraParameters fitted = fw::CameraParameters::decode(calibration);
  // Sizes are whole pixels; the crop works on them in integer arithmetic.
  int64_t width = static_cast<int64_t>(fitted.width);
  int64_t height = static_cast<int64_t>(fitted.height);
  if (int64_t{rows} * width <= int64_t{columns} * height) {
    // The image is relatively wider: crop the calibration's height.
    // At least one row, so an extreme aspect ratio never leaves a zero-sized calibration.
    int64_t newHeight = std::max<int64_t>(1, int64_t{rows} * width / columns);
    fitted.cy -= static_cast<double>((height - newHeight) / 2);
    height = newHeight;
  } else {
    int64_t newWidth = std::max<int64_t>(1, int64_t{columns} * height / rows);
    fitted.cx -= static_cast<double>((width - newWidth) / 2);
    width = newWidth;
  }
  const double sx = static_cast<double>(columns) / static_cast<double>(width);
  const double sy = static_cast<double>(rows) / static_cast<double>(height);
  fitted.width = columns;
  fitted.height = rows;
  fitted.fx *= sx;
  fitted.fy *= sy;
  fitted.cx *= sx;
  fitted.cy *= sy;
  return fitted.encode();
}

std::string calibrationMismatch(const std::vector<double>& calibration, int64_t columns,
                                int64_t rows) {
  // A frame without a calibration takes the image as it comes.
  const fw::CameraParameters k = fw::CameraParameters::decode(calibration);
  if (!(k.width >= 1.0) || !(k.height >= 1.0)) return "";
  if (columns < 1 || rows < 1) return "it has no pixels";
  const double width = k.width;
  const double height = k.height;
  // The crop keeps the share of the calibration's side that the aspect ratios leave.
  const double imageAspect = static_cast<double>(columns) / static_cast<double>(rows);
  const double kept = std::min(imageAspect * height / width, width / (imageAspect * height));
  if (kept >= 0.5) return "";
  return "its " + std::to_string(columns) + " x " + std::to_string(rows) +
         " pixels do not match the calibration's " + std::to_string(int64_t(width)) + " x " +
         std::to_string(int64_t(height));
}
