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

bool intrinsicsValid(int w, int h, double fx, double fy) {
  return w >= 1 && h >= 1 && fx != 0 && fy != 0;
}

// The rescale every model with focal lengths and a principal point shares: those and the
// image size all scale by the factor.
template <class Model>
void scaleSizeAndIntrinsics(Model& model, double factor) {
  model.width = truncateToInt(model.width * factor);
  model.height = truncateToInt(model.height * factor);
  model.fx *= factor;
  model.fy *= factor;
  model.cx *= factor;
  model.cy *= factor;
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

// ---- Pinhole

CameraPinhole::CameraPinhole(int w, int h, double fx_, double fy_, double cx_, double cy_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_) {
  refreshInverse();
}

void CameraPinhole::refreshInverse() {
  if (!isValid()) return;
  fxinv = 1.0 / fx;
  fyinv = 1.0 / fy;
}

bool CameraPinhole::isValid() const { return intrinsicsValid(width, height, fx, fy); }

Point2d CameraPinhole::Project(const pi::Point3d& p) const {
  if (p.z == 1) return {fx * p.x + cx, fy * p.y + cy};
  if (!(p.z > 0)) return kNoPixel;
  return {fx * p.x / p.z + cx, fy * p.y / p.z + cy};
}

pi::Point3d CameraPinhole::UnProject(const Point2d& p) const {
  return {(p.x - cx) * fxinv, (p.y - cy) * fyinv, 1};
}

std::vector<double> CameraPinhole::getParameters() const {
  return {double(width), double(height), fx, fy, cx, cy};
}

bool CameraPinhole::applyScale(double factor) {
  scaleSizeAndIntrinsics(*this, factor);
  refreshInverse();
  return true;
}

// ---- ATAN

CameraATAN::CameraATAN(int w, int h, double fx_, double fy_, double cx_, double cy_, double d_)
    : CameraImpl(w, h), fx(fx_), fy(fy_), cx(cx_), cy(cy_), d(d_) {
  refreshParameters();
}

bool CameraATAN::isValid() const { return intrinsicsValid(width, height, fx, fy); }

int CameraATAN::refreshParameters() {
  if (!isValid()) {
    reportInvalid(*this);
    return -1;
  }
  if (fx < 1 && fy < 1) {  // intrinsics relative to the image size
    fx *= width;
    cx *= width;
    fy *= height;
    cy *= height;
  }
  fxinv = 1.0 / fx;
  fyinv = 1.0 / fy;
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
  return 0;
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
  double xn = (p.x - cx) * fxinv;
  double yn = (p.y - cy) * fyinv;
  if (distort) {
    const double r = std::sqrt(xn * xn + yn * yn);
    if (d != 0 && r > 0.01) {
      const double factor = std::tan(d * r) * tan2winv / r;
      xn *= factor;
      yn *= factor;
    }
  }
  return {xn, yn, 1};
}

std::vector<double> CameraATAN::getParameters() const {
  return {double(width), double(height), fx, fy, cx, cy, d};
}

bool CameraATAN::applyScale(double factor) {
  scaleSizeAndIntrinsics(*this, factor);
  refreshParameters();
  return true;
}

// ---- OpenCV

CameraOpenCV::CameraOpenCV(int w, int h, double fx_, double fy_, double cx_, double cy_, double k1_,
                           double k2_, double p1_, double p2_, double k3_)
    : CameraImpl(w, h),
      fx(fx_),
      fy(fy_),
      cx(cx_),
      cy(cy_),
      k1(k1_),
      k2(k2_),
      p1(p1_),
      p2(p2_),
      k3(k3_) {
  refreshParameters();
}

bool CameraOpenCV::isValid() const { return intrinsicsValid(width, height, fx, fy); }

int CameraOpenCV::refreshParameters() {
  if (!isValid()) {
    reportInvalid(*this);
    return -1;
  }
  fxinv = 1.0 / fx;
  fyinv = 1.0 / fy;
  return 0;
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
  const double x0 = (p.x - cx) * fxinv;
  const double y0 = (p.y - cy) * fyinv;
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

bool CameraOpenCV::applyScale(double factor) {
  scaleSizeAndIntrinsics(*this, factor);
  refreshParameters();
  return true;
}

// ---- Camera value

Camera::Camera() : impl_(std::make_shared<CameraImpl>()) {}

Camera::Camera(std::shared_ptr<CameraImpl> impl)
    : impl_(impl ? std::move(impl) : std::make_shared<CameraImpl>()) {}

Camera::Camera(const std::vector<double>& v) {
  switch (v.size()) {
    case 2:
      impl_ = std::make_shared<CameraIdeal>(truncateToInt(v[0]), truncateToInt(v[1]));
      break;
    case 6:
      impl_ = std::make_shared<CameraPinhole>(truncateToInt(v[0]), truncateToInt(v[1]), v[2], v[3],
                                              v[4], v[5]);
      break;
    case 7:
      impl_ = std::make_shared<CameraATAN>(truncateToInt(v[0]), truncateToInt(v[1]), v[2], v[3],
                                           v[4], v[5], v[6]);
      break;
    case 11:
      impl_ = std::make_shared<CameraOpenCV>(truncateToInt(v[0]), truncateToInt(v[1]), v[2], v[3],
                                             v[4], v[5], v[6], v[7], v[8], v[9], v[10]);
      break;
    default:
      impl_ = std::make_shared<CameraImpl>();
  }
}

}  // namespace fw
