#pragma once

// A camera's parameter vector read by name. The vector (width, height, fx, fy, cx, cy, then the
// model's distortion) is the form a calibration is stored in, handed between stages and compared
// in; this is the one place that knows which position holds which number.

#include "framework/pinhole.h"

#include <vector>

namespace fw {

// The models a parameter vector describes, told apart by its length: 2 ideal, 6 pinhole,
// 7 arctangent, 11 OpenCV; any other length none.
enum class CameraModel { kNone, kIdeal, kPinhole, kAtan, kOpenCV };

struct CameraParameters {
  CameraModel model = CameraModel::kNone;
  double width = 0, height = 0;           // pixels; 0 when the vector holds no size
  double fx = 0, fy = 0, cx = 0, cy = 0;  // pixels; 0 when the vector holds none
  std::vector<double> distortion;         // arctangent: d; OpenCV: k1, k2, p1, p2, k3

  // Reads what the vector holds: the size from two entries on, the focal lengths and principal
  // point from six on, anything after them as distortion.
  static CameraParameters decode(const std::vector<double>& parameters);
  // The vector of the model: empty for none, the size for the ideal model, else the size,
  // fx, fy, cx, cy and the distortion.
  std::vector<double> encode() const;

  // A pinhole camera, with or without distortion: fx, fy, cx and cy are given.
  bool hasIntrinsics() const;
  Pinhole pinhole() const { return {fx, fy, cx, cy}; }
  // The same camera without its distortion.
  CameraParameters withoutDistortion() const;
};

}  // namespace fw
