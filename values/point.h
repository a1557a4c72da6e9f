#pragma once

// Plain point records shared by every subsystem: positions, colours and tile indices.
// They live with the value system because values hold them and lists of them.

namespace pi {

template <typename T>
struct Point2_ {
  T x{}, y{};

  Point2_() = default;
  Point2_(T x_, T y_) : x(x_), y(y_) {}

  bool operator==(const Point2_& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Point2_& o) const { return !(*this == o); }
};

template <typename T>
struct Point3_ {
  T x{}, y{}, z{};

  Point3_() = default;
  Point3_(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}

  // Converts member by member (a float point widens to a double point).
  template <typename U>
  explicit operator Point3_<U>() const {
    return Point3_<U>(static_cast<U>(x), static_cast<U>(y), static_cast<U>(z));
  }

  bool operator==(const Point3_& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const Point3_& o) const { return !(*this == o); }
};

using Point2ll = Point2_<long long>;
using Point3d = Point3_<double>;
using Point3f = Point3_<float>;
using Point3ub = Point3_<unsigned char>;

}  // namespace pi
