#include "framework/camera.h"
#include "framework/log.h"

#include <cmath>
#include <sstream>

namespace fw {

namespace {
const Point2d kNoPixel(-1, -1);

// Truncates toward zero; a value with no 32-bit integer reading (NaN, out of range) gives -1,
// which leaves the model invalid instead of converting undefinedly.
int truncateToInt(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return -1;
  return static_cast<int>(v);
}

void reportInvalid(const CameraImpl& camera) {
  FW_LOG(fw::kLogWarning) << "Camera not valid!Info:" << camera.info();
}
}  // namespace

Point2d CameraImpl::Project(const pi::Point3d&) const { return kNoPixel; }

pi::Point3d CameraImpl::UnProject(const Point2d&) const { return {0, 0, 0}; }

bool CameraImpl::applyScale(double) { return false; }

std::string CameraImpl::info() const {
  std::ostringstream out;
  out << typeName() << ":[";
  const std::vector<double> parameters = getParameters();
  for (size_t i = 0; i < parameters.size(); ++i)
    out << parameters[i] << (i + 1 < parameters.size() ? "," : "]");
  return out.str();
}

// ---- Ideal

Point2d CameraIdeal::Project(const pi::Point3d& p) const { return {p.x / p.z, p.y / p.z}; }

pi::Point3d CameraIdeal::UnProject(const Point2d& p) const { return {p.x, p.y, 1}; }

std::vector<double> CameraIdeal::getParameters() const { return {double(width), double(height)}; }

// ---- Models with intrinsics

CameraWithIntrinsics::CameraWithIntrinsics(int w, int h, double fx_, double fy_, double cx_,
                                           double cy_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_) {}

bool CameraWithIntrinsics::isValid() const {
  return width >= 1 && height >= 1 && fx != 0 && fy != 0;
}

bool CameraWithIntrinsics::applyScale(double factor) {
  width = truncateToInt(width * factor);
  height = truncateToInt(height * factor);
  fx *= factor;
  fy *= factor;
  cx *= factor;
  cy *= factor;
  refreshParameters();
  return true;
}

bool CameraWithIntrinsics::refreshInverse() {
  if (!isValid()) return false;
  fxinv = 1.0 / fx;
  fyinv = 1.0 / fy;
  return true;
}

pi::Point3d CameraWithIntrinsics::pinholeRay(const Point2d& p) const {
  return {rayOfPixel(p.x, cx, fxinv), rayOfPixel(p.y, cy, fyinv), 1};
}

// ---- Pinhole

CameraPinhole::CameraPinhole(int w, int h, double fx_, double fy_, double cx_, double cy_)
    : CameraWithIntrinsics(w, h, fx_, fy_, cx_, cy_) {
  refreshParameters();
}

// An invalid pinhole camera is left without inverses and without a message.
void CameraPinhole::refreshParameters() { refreshInverse(); }

Point2d CameraPinhole::Project(const pi::Point3d& p) const {
  if (!(p.z > 0)) return kNoPixel;
  return {pixelOfPoint(fx, cx, p.x, p.z), pixelOfPoint(fy, cy, p.y, p.z)};
}

pi::Point3d CameraPinhole::UnProject(const Point2d& p) const { return pinholeRay(p); }

std::vector<double> CameraPinhole::getParameters() const {
  return {double(width), double(height), fx, fy, cx, cy};
}

// ---- ATAN

CameraATAN::CameraATAN(int w, int h, double fx_, double fy_, double cx_, double cy_, double d_)
    : CameraWithIntrinsics(w, h, fx_, fy_, cx_, cy_), d(d_) {
  refreshParameters();
}

void CameraATAN::refreshParameters() {
  if (!isValid()) {
    reportInvalid(*this);
    return;
  }
  if (fx < 1 && fy < 1) {  // intrinsics relative to the image size
    fx *= width;
    cx *= width;
    fy *= height;
    cy *= height;
  }
  refreshInverse();
  if (d == 0) {
    tan2w = 0;
    dinv = 0;
    distort = false;
  } else {
    tan2w = 2.0 * std::tan(d / 2.0);
    tan2winv = 1.0 / tan2w;
    dinv = 1.0 / d;
    distort = true;
  }
}

Point2d CameraATAN::Project(const pi::Point3d& p) const {
  if (p.z <= 0) return kNoPixel;
  const double xn = p.z == 1 ? p.x : p.x / p.z;
  const double yn = p.z == 1 ? p.y : p.y / p.z;
  if (!distort) return {fx * xn + cx, fy * yn + cy};
  const double r = std::sqrt(xn * xn + yn * yn);
  const double factor = (r >= 0.001 && d != 0) ? std::atan(r * tan2w) * dinv / r : 1.0;
  return {fx * factor * xn + cx, fy * factor * yn + cy};
}

pi::Point3d CameraATAN::UnProject(const Point2d& p) const {
  pi::Point3d ray = pinholeRay(p);
  if (distort) {
    const double r = std::sqrt(ray.x * ray.x + ray.y * ray.y);
    if (d != 0 && r > 0.01) {
      const double factor = std::tan(d * r) * tan2winv / r;
      ray.x *= factor;
      ray.y *= factor;
    }
  }
  return ray;
}

std::vector<double> CameraATAN::getParameters() const {
  return {double(width), double(height), fx, fy, cx, cy, d};
}

// ---- OpenCV

CameraOpenCV::CameraOpenCV(int w, int h, double fx_, double fy_, double cx_, double cy_, double k1_,
                           double k2_, double p1_, double p2_, double k3_)
    : CameraWithIntrinsics(w, h, fx_, fy_, cx_, cy_), k1(k1_), k2(k2_), p1(p1_), p2(p2_), k3(k3_) {
  refreshParameters();
}

void CameraOpenCV::refreshParameters() {
  if (!refreshInverse()) reportInvalid(*this);
}

Point2d CameraOpenCV::Project(const pi::Point3d& p) const {
  if (p.z <= 0) return kNoPixel;
  const double xn = p.z == 1 ? p.x : p.x / p.z;
  const double yn = p.z == 1 ? p.y : p.y / p.z;
  const double r2 = xn * xn + yn * yn;
  const double radial = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
  const double xd = radial * xn + 2 * p1 * xn * yn + p2 * (r2 + 2 * xn * xn);
  const double yd = radial * yn + 2 * p2 * xn * yn + p1 * (r2 + 2 * yn * yn);
  return {fx * xd + cx, fy * yd + cy};
}

pi::Point3d CameraOpenCV::UnProject(const Point2d& p) const {
  const pi::Point3d undistorted = pinholeRay(p);
  const double x0 = undistorted.x, y0 = undistorted.y;
  double x = x0, y = y0;
  for (int iteration = 0; iteration < 5; ++iteration) {
    const double r2 = x * x + y * y;
    const double s = 1.0 / (1 + ((k3 * r2 + k2) * r2 + k1) * r2);
    const double dx = 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    const double dy = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
    x = (x0 - dx) * s;
    y = (y0 - dy) * s;
  }
  return {x, y, 1};
}

std::vector<double> CameraOpenCV::getParameters() const {
  return {double(width), double(height), fx, fy, cx, cy, k1, k2, p1, p2, k3};
}

// ---- Camera value

Camera::Camera() : impl_(std::make_shared<CameraImpl>()) {}

Camera::Camera(std::shared_ptr<CameraImpl> impl)
    : impl_(impl ? std::move(impl) : std::make_shared<CameraImpl>()) {}

Camera::Camera(const std::vector<double>& parameters)
    : Camera(CameraParameters::decode(parameters)) {}

Camera::Camera(const CameraParameters& k) {
  const int w = truncateToInt(k.width), h = truncateToInt(k.height);
  const std::vector<double>& d = k.distortion;
  switch (k.model) {
    case CameraModel::kIdeal:
      impl_ = std::make_shared<CameraIdeal>(w, h);
      break;
    case CameraModel::kPinhole:
      impl_ = std::make_shared<CameraPinhole>(w, h, k.fx, k.fy, k.cx, k.cy);
      break;
    case CameraModel::kAtan:
      impl_ = std::make_shared<CameraATAN>(w, h, k.fx, k.fy, k.cx, k.cy, d[0]);
      break;
    case CameraModel::kOpenCV:
      impl_ = std::make_shared<CameraOpenCV>(w, h, k.fx, k.fy, k.cx, k.cy, d[0], d[1], d[2], d[3],
                                             d[4]);
      break;
    case CameraModel::kNone:
      impl_ = std::make_shared<CameraImpl>();
  }
}

}  // namespace fw
