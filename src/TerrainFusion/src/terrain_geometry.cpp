#include "src/TerrainFusion/src/terrain_geometry.h"

#include "framework/geodesy.h"

namespace terrain {

fw::Quaternion enuRotation(double longitude, double latitude) {
  const fw::Matrix3 m = fw::ecefFromEnu(latitude * fw::kRadiansPerDegreeShortPi,
                                        longitude * fw::kRadiansPerDegreeShortPi);
  fw::Quaternion q;
  fw::quaternionFromMatrix(m, q);
  return q;
}

cv::Matx34d matrixOf(const SE3& pose) { return matrixOf(Sim3(pose)); }

cv::Matx34d matrixOf(const Sim3& pose) {
  const fw::Matrix3 r = fw::quaternionToMatrix(pose.q);
  cv::Matx34d m;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m(i, j) = r[i * 3 + j] * pose.s;
  }
  m(0, 3) = pose.t.x;
  m(1, 3) = pose.t.y;
  m(2, 3) = pose.t.z;
  return m;
}

bool inverseMatrixOf(const Sim3& pose, cv::Matx34d& inverse) {
  if (!(pose.s != 0.0) || !std::isfinite(pose.s)) return false;
  const fw::Matrix3 r = fw::quaternionToMatrix(pose.q);
  const double k = 1.0 / pose.s;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) inverse(i, j) = r[j * 3 + i] * k;
  }
  for (int i = 0; i < 3; ++i) {
    inverse(i, 3) =
        -(inverse(i, 0) * pose.t.x + inverse(i, 1) * pose.t.y + inverse(i, 2) * pose.t.z);
  }
  return true;
}

cv::Matx34d compose(const cv::Matx34d& a, const cv::Matx34d& b) {
  cv::Matx34d m;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) {
      double v = a(i, 0) * b(0, j) + a(i, 1) * b(1, j) + a(i, 2) * b(2, j);
      if (j == 3) v += a(i, 3);
      m(i, j) = v;
    }
  }
  return m;
}

pi::Point2ll pixelNear(const fw::PureProjection& projection, double latitude, double longitude,
                       int zoom, long long nearColumn) {
  pi::Point2ll p = projection.latLngToPixel(latitude, longitude, zoom);
  const long long width = projection.mapSize(zoom).x;
  if (p.x - nearColumn > width / 2) p.x -= width;
  if (nearColumn - p.x > width / 2) p.x += width;
  return p;
}

fw::LatLng latLngOfPixel(const fw::PureProjection& projection, long long x, long long y, int zoom) {
  const long long width = projection.mapSize(zoom).x;
  long long column = width > 0 ? x % width : x;
  if (column < 0) column += width;
  return projection.pixelToLatLng(column, y, zoom);
}

}  // namespace terrain
