#include "box_geometry.h"

#include <algorithm>
#include <cmath>

TileBox localBox(const std::vector<pi::Point3_<float>>& points) {
  // Extremes in float are exact; the centre and half-extents are formed in double.
  pi::Point3_<float> low = points.front(), high = points.front();
  for (const auto& p : points) {
    low.x = std::min(low.x, p.x);
    low.y = std::min(low.y, p.y);
    low.z = std::min(low.z, p.z);
    high.x = std::max(high.x, p.x);
    high.y = std::max(high.y, p.y);
    high.z = std::max(high.z, p.z);
  }
  const double lows[3] = {low.x, low.y, low.z}, highs[3] = {high.x, high.y, high.z};
  TileBox box{};
  for (int k = 0; k < 3; ++k) {
    const double centre = (lows[k] + highs[k]) * 0.5;
    box[k] = centre;
    box[3 + 4 * k] = std::max(centre - lows[k], highs[k] - centre);
  }
  return box;
}

TileMatrix poseToMatrix(const SE3& pose) {
  const fw::Matrix3 r = fw::quaternionToMatrix(pose.q);  // row-major
  return {r[0], r[3], r[6], 0.0, r[1],     r[4],     r[7],     0.0,
          r[2], r[5], r[8], 0.0, pose.t.x, pose.t.y, pose.t.z, 1.0};
}

TileBox transformBox(const TileBox& box, const SE3& pose) {
  // Through the same matrix a viewer applies, so the box holds what the viewer places.
  const TileMatrix m = poseToMatrix(pose);
  const auto rotate = [&m](const double* v, double* out) {
    for (int row = 0; row < 3; ++row) {
      out[row] = m[row] * v[0] + m[4 + row] * v[1] + m[8 + row] * v[2];
    }
  };
  TileBox out{};
  rotate(&box[0], &out[0]);
  for (int k = 0; k < 3; ++k) out[k] += m[12 + k];
  for (int at = 3; at < 12; at += 3) rotate(&box[at], &out[at]);
  return out;
}

bool isFinite(const TileBox& box) {
  return std::all_of(box.begin(), box.end(), [](double v) { return std::isfinite(v); });
}

bool isFinite(const TileMatrix& matrix) {
  return std::all_of(matrix.begin(), matrix.end(), [](double v) { return std::isfinite(v); });
}

bool isFinite(const SE3& pose) {
  const double values[7] = {pose.q.x, pose.q.y, pose.q.z, pose.q.w, pose.t.x, pose.t.y, pose.t.z};
  return std::all_of(std::begin(values), std::end(values),
                     [](double v) { return std::isfinite(v); });
}
