#pragma once

// Rigid and similarity poses built on unit quaternions (x, y, z, w; scalar last).

#include "values/point.h"

#include <array>

namespace cv {
class Mat;
}

namespace fw {

struct Quaternion {
  double x = 0, y = 0, z = 0, w = 1;

  Quaternion() = default;
  Quaternion(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}
  Quaternion conjugate() const { return {-x, -y, -z, w}; }
};

// Row-major 3 x 3 matrix: m00, m01, m02, m10, ..., m22.
using Matrix3 = std::array<double, 9>;

// Rotates p by the unit quaternion q.
pi::Point3d transformPoint(const Quaternion& q, const pi::Point3d& p);

// Hamilton product a ⊗ b (a on the left).
Quaternion quaternionProduct(const Quaternion& a, const Quaternion& b);

// Unit quaternion of a rotation matrix. Prints "coding error" and returns false when the
// matrix has NaN entries (no component can be chosen as the largest).
bool quaternionFromMatrix(const Matrix3& m, Quaternion& q);
// The same for a 3 x 3 matrix of doubles (CV_64F).
bool quaternionFromMatrix(const cv::Mat& m, Quaternion& q);

// Rotation matrix of a unit quaternion.
Matrix3 quaternionToMatrix(const Quaternion& q);

// Right-handed rotations by an angle in radians about the x, y and z axes, the elementary
// rotations attitude conventions are composed of.
Matrix3 rotationAboutX(double radians);
Matrix3 rotationAboutY(double radians);
Matrix3 rotationAboutZ(double radians);

}  // namespace fw

// Rigid pose: p -> R(q) p + t.
struct SE3 {
  fw::Quaternion q;
  pi::Point3d t;

  SE3() = default;
  SE3(const fw::Quaternion& q_, const pi::Point3d& t_) : q(q_), t(t_) {}

  pi::Point3d transformPoint(const pi::Point3d& p) const;
  SE3 inverse() const;
  // a ∘ b: applies b first, then a.
  static SE3 compose(const SE3& a, const SE3& b);
};

// Similarity pose: p -> R(q) (s p) + t.
struct Sim3 {
  fw::Quaternion q;
  pi::Point3d t;
  double s = 1.0;

  Sim3() = default;
  Sim3(const fw::Quaternion& q_, const pi::Point3d& t_, double s_) : q(q_), t(t_), s(s_) {}
  explicit Sim3(const SE3& pose) : q(pose.q), t(pose.t), s(1.0) {}

  SE3 rigid() const { return SE3(q, t); }
  pi::Point3d transformPoint(const pi::Point3d& p) const;
  static Sim3 compose(const Sim3& a, const Sim3& b);
};

namespace fw {
using ::SE3;
using ::Sim3;
}  // namespace fw
