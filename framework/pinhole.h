#pragma once

// The pinhole camera's rules, each written once. They are templates so that every number type
// they are computed in (double, float, SIMD lanes) follows the very same operations in the very
// same order: a vector path and its scalar tail then agree bit for bit.

namespace fw {

// A pinhole camera's focal lengths and principal point, in pixels.
struct Pinhole {
  double fx = 0, fy = 0, cx = 0, cy = 0;
};

// The pixel coordinate of a camera-frame point's coordinate `along` (x or y) at depth `z`:
// focal * along / z + centre.
template <class T>
T pixelOfPoint(T focal, T centre, T along, T z) {
  return focal * along / z + centre;
}

// The coordinate on the plane z = 1 of the ray through pixel coordinate `pixel`, by the focal
// length's inverse (cameras keep it, so that a ray costs no division).
template <class T>
T rayOfPixel(T pixel, T centre, T inverseFocal) {
  return (pixel - centre) * inverseFocal;
}

// Metres on the ground per image pixel of a camera looking straight down from `height` metres
// with focal length `focal` pixels.
inline double groundSampleDistance(double height, double focal) { return height / focal; }

}  // namespace fw
