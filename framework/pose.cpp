#include "framework/pose.h"
#include "framework/log.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <stdexcept>

namespace fw {

namespace {
pi::Point3d cross(double ax, double ay, double az, const pi::Point3d& b) {
  return {ay * b.z - az * b.y, az * b.x - ax * b.z, ax * b.y - ay * b.x};
}

double signOf(double v) { return v > 0 ? 1.0 : -1.0; }
}  // namespace

pi::Point3d transformPoint(const Quaternion& q, const pi::Point3d& p) {
  pi::Point3d v = cross(q.x, q.y, q.z, p);
  v.x *= 2;
  v.y *= 2;
  v.z *= 2;
  const pi::Point3d uv = cross(q.x, q.y, q.z, v);
  return {p.x + q.w * v.x + uv.x, p.y + q.w * v.y + uv.y, p.z + q.w * v.z + uv.z};
}

Quaternion quaternionProduct(const Quaternion& a, const Quaternion& b) {
  return {
      a.x * b.w + a.w * b.x + a.y * b.z - a.z * b.y, a.y * b.w + a.w * b.y + a.z * b.x - a.x * b.z,
      a.z * b.w + a.w * b.z + a.x * b.y - a.y * b.x, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

bool quaternionFromMatrix(const Matrix3& m, Quaternion& q) {
  const double m00 = m[0], m01 = m[1], m02 = m[2];
  const double m10 = m[3], m11 = m[4], m12 = m[5];
  const double m20 = m[6], m21 = m[7], m22 = m[8];
  auto root = [](double squared) { return std::sqrt(squared < 0 ? 0.0 : squared); };
  double w = root((1 + m00 + m11 + m22) / 4);
  double x = root((1 + m00 - m11 - m22) / 4);
  double y = root((1 - m00 + m11 - m22) / 4);
  double z = root((1 - m00 - m11 + m22) / 4);

  // The largest component keeps its sign; the others follow from the off-diagonal terms.
  if (w >= x && w >= y && w >= z) {
    x *= signOf(m21 - m12);
    y *= signOf(m02 - m20);
    z *= signOf(m10 - m01);
  } else if (x >= w && x >= y && x >= z) {
    w *= signOf(m21 - m12);
    y *= signOf(m10 + m01);
    z *= signOf(m20 + m02);
  } else if (y >= w && y >= x && y >= z) {
    w *= signOf(m02 - m20);
    x *= signOf(m10 + m01);
    z *= signOf(m12 + m21);
  } else if (z >= w && z >= x && z >= y) {
    w *= signOf(m10 - m01);
    x *= signOf(m20 + m02);
    y *= signOf(m12 + m21);
  } else {
    FW_LOG(fw::kLogError) << "coding error";
    return false;
  }
  const double norm = std::sqrt(w * w + x * x + y * y + z * z);
  q = Quaternion(x / norm, y / norm, z / norm, w / norm);
  return true;
}

bool quaternionFromMatrix(const cv::Mat& m, Quaternion& q) {
  if (m.rows != 3 || m.cols != 3 || m.type() != CV_64FC1)
    throw std::invalid_argument("quaternionFromMatrix needs a 3 x 3 matrix of doubles");
  Matrix3 values;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) values[r * 3 + c] = m.at<double>(r, c);
  return quaternionFromMatrix(values, q);
}

Matrix3 quaternionToMatrix(const Quaternion& q) {
  const double x = q.x, y = q.y, z = q.z, w = q.w;
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (w * y + x * z),
          2 * (w * z + x * y),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (w * x + y * z),     1 - 2 * (x * x + y * y)};
}

Matrix3 rotationAboutX(double radians) {
  const double c = std::cos(radians), s = std::sin(radians);
  return {1, 0, 0, 0, c, -s, 0, s, c};
}

Matrix3 rotationAboutY(double radians) {
  const double c = std::cos(radians), s = std::sin(radians);
  return {c, 0, s, 0, 1, 0, -s, 0, c};
}

Matrix3 rotationAboutZ(double radians) {
  const double c = std::cos(radians), s = std::sin(radians);
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

}  // namespace fw

pi::Point3d SE3::transformPoint(const pi::Point3d& p) const {
  const pi::Point3d r = fw::transformPoint(q, p);
  return {r.x + t.x, r.y + t.y, r.z + t.z};
}

SE3 SE3::inverse() const {
  const fw::Quaternion qi = q.conjugate();
  const pi::Point3d r = fw::transformPoint(qi, t);
  return SE3(qi, pi::Point3d(-r.x, -r.y, -r.z));
}

SE3 SE3::compose(const SE3& a, const SE3& b) {
  const pi::Point3d r = fw::transformPoint(a.q, b.t);
  return SE3(fw::quaternionProduct(a.q, b.q), pi::Point3d(a.t.x + r.x, a.t.y + r.y, a.t.z + r.z));
}

pi::Point3d Sim3::transformPoint(const pi::Point3d& p) const {
  const pi::Point3d r = fw::transformPoint(q, pi::Point3d(s * p.x, s * p.y, s * p.z));
  return {r.x + t.x, r.y + t.y, r.z + t.z};
}

Sim3 Sim3::compose(const Sim3& a, const Sim3& b) {
  const pi::Point3d r = fw::transformPoint(a.q, pi::Point3d(a.s * b.t.x, a.s * b.t.y, a.s * b.t.z));
  return Sim3(fw::quaternionProduct(a.q, b.q), pi::Point3d(r.x + a.t.x, r.y + a.t.y, r.z + a.t.z),
              a.s * b.s);
}
