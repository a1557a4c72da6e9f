#pragma once

#include "framework/pose.h"
#include "framework/projection.h"
#include "framework/wgs84.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <cmath>

// Placement helpers of the terrain node: local east-north-up frames and the maps between
// raster pixels, ENU metres and camera coordinates.
namespace terrain {

// Earth radius for the curvature drop of ENU heights, (x^2 + y^2) / 2R.
constexpr double kCurvatureRadius = fw::wgs84::kA;

// Rotation whose columns are the east, north and up axes at (longitude, latitude) degrees.
fw::Quaternion enuRotation(double longitude, double latitude);

// The 3 x 4 matrix of a rigid pose (p -> R p + t).
cv::Matx34d matrixOf(const SE3& pose);
// The 3 x 4 matrix of a similarity pose (p -> R s p + t).
cv::Matx34d matrixOf(const Sim3& pose);
// The 3 x 4 matrix of the inverse of a similarity pose; false when its scale is zero or not
// finite.
bool inverseMatrixOf(const Sim3& pose, cv::Matx34d& inverse);
// a * b for 3 x 4 affine maps.
cv::Matx34d compose(const cv::Matx34d& a, const cv::Matx34d& b);
inline cv::Vec3d apply(const cv::Matx34d& m, const cv::Vec3d& p) {
  return {m(0, 0) * p[0] + m(0, 1) * p[1] + m(0, 2) * p[2] + m(0, 3),
          m(1, 0) * p[0] + m(1, 1) * p[1] + m(1, 2) * p[2] + m(1, 3),
          m(2, 0) * p[0] + m(2, 1) * p[1] + m(2, 2) * p[2] + m(2, 3)};
}

inline double curvatureDrop(double x, double y) {
  return (x * x + y * y) / (2.0 * kCurvatureRadius);
}

// Map from absolute Web-Mercator pixel positions (x right, y down, continuous) at one zoom
// to ENU metres (x east, y north) at one height, fixed by the exact ENU positions of three
// pixels; and its inverse.
struct PixelEnuMap {
  cv::Matx22d enuFromPixel;
  cv::Vec2d enuOrigin;  // ENU of pixel (0, 0)
  cv::Matx22d pixelFromEnu;

  cv::Vec2d enu(double px, double py) const { return enuFromPixel * cv::Vec2d(px, py) + enuOrigin; }
  cv::Vec2d pixel(double x, double y) const { return pixelFromEnu * (cv::Vec2d(x, y) - enuOrigin); }
  // Metres per pixel along a raster column step and a raster row step.
  double columnStep() const { return std::hypot(enuFromPixel(0, 0), enuFromPixel(1, 0)); }
  double rowStep() const { return std::hypot(enuFromPixel(0, 1), enuFromPixel(1, 1)); }
};

// The Web-Mercator pixel of (latitude, longitude) at `zoom`, with its column taken round
// the map to lie within half a map of `nearColumn`: east of the antimeridian a frame that
// started west of it runs on past the map's last column, so its raster stays in one piece.
pi::Point2ll pixelNear(const fw::PureProjection& projection, double latitude, double longitude,
                       int zoom, long long nearColumn);
// The position of a pixel whose column may lie beyond either side of the map.
fw::LatLng latLngOfPixel(const fw::PureProjection& projection, long long x, long long y, int zoom);

}  // namespace terrain
