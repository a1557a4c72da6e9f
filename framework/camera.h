#pragma once

// Camera models: projection of camera-frame points to pixels and unprojection of pixels to
// viewing rays on the plane z = 1. fw::Camera shares one model chosen by the length of its
// parameter vector.

#include "framework/camera_parameters.h"
#include "values/point.h"

#include <memory>
#include <string>
#include <vector>

namespace fw {

using Point2d = pi::Point2_<double>;

// The base model is also the invalid camera: it projects to (-1, -1) and unprojects to 0.
class CameraImpl {
 public:
  CameraImpl() = default;
  CameraImpl(int w, int h) : width(w), height(h) {}

  virtual std::string typeName() const { return "NoCamera"; }
  virtual bool isValid() const { return false; }
  virtual Point2d Project(const pi::Point3d& p) const;
  virtual pi::Point3d UnProject(const Point2d& p) const;
  virtual std::vector<double> getParameters() const { return {}; }
  virtual bool applyScale(double factor);
  // "<typeName>:[p0,p1,...]".
  virtual std::string info() const;
  virtual ~CameraImpl() = default;

  int width = -1;
  int height = -1;
};

// Normalised image coordinates: (x / z, y / z).
class CameraIdeal : public CameraImpl {
 public:
  CameraIdeal(int w, int h) : CameraImpl(w, h) {}

  std::string typeName() const override { return "Ideal"; }
  bool isValid() const override { return true; }
  Point2d Project(const pi::Point3d& p) const override;
  pi::Point3d UnProject(const Point2d& p) const override;
  std::vector<double> getParameters() const override;
};

// The models with focal lengths and a principal point in pixels; the inverses of the focal
// lengths are kept, so that a ray costs no division.
class CameraWithIntrinsics : public CameraImpl {
 public:
  bool isValid() const override;
  // Scales the size and the intrinsics by the factor.
  bool applyScale(double factor) override;

  double fx, fy, cx, cy;
  double fxinv = 0, fyinv = 0;

 protected:
  CameraWithIntrinsics(int w, int h, double fx, double fy, double cx, double cy);
  // Recomputes what is derived from the parameters, after construction and after scaling.
  virtual void refreshParameters() = 0;
  // Sets the inverses; false, leaving them, when the model is not valid.
  bool refreshInverse();
  // The undistorted ray through a pixel, on the plane z = 1.
  pi::Point3d pinholeRay(const Point2d& p) const;
};

class CameraPinhole : public CameraWithIntrinsics {
 public:
  CameraPinhole(int w, int h, double fx, double fy, double cx, double cy);

  std::string typeName() const override { return "PinHole"; }
  Point2d Project(const pi::Point3d& p) const override;
  pi::Point3d UnProject(const Point2d& p) const override;
  std::vector<double> getParameters() const override;

 protected:
  void refreshParameters() override;
};

// One-parameter arctangent (field-of-view) distortion.
class CameraATAN : public CameraWithIntrinsics {
 public:
  CameraATAN(int w, int h, double fx, double fy, double cx, double cy, double d);

  std::string typeName() const override { return "ATAN"; }
  Point2d Project(const pi::Point3d& p) const override;
  pi::Point3d UnProject(const Point2d& p) const override;
  std::vector<double> getParameters() const override;

  double d;
  double tan2w = 0, dinv = 0, tan2winv = 0;
  bool distort = false;

 protected:
  void refreshParameters() override;
};

// Radial (k1, k2, k3) and tangential (p1, p2) distortion.
class CameraOpenCV : public CameraWithIntrinsics {
 public:
  CameraOpenCV(int w, int h, double fx, double fy, double cx, double cy, double k1, double k2,
               double p1, double p2, double k3);

  std::string typeName() const override { return "OpenCV"; }
  Point2d Project(const pi::Point3d& p) const override;
  // Inverts the distortion with exactly five fixed-point iterations.
  pi::Point3d UnProject(const Point2d& p) const override;
  std::vector<double> getParameters() const override;

  double k1, k2, p1, p2, k3;

 protected:
  void refreshParameters() override;
};

// A camera value; copies share the model.
class Camera {
 public:
  // The invalid camera (width and height -1).
  Camera();
  // 2: ideal (w, h); 6: pinhole (w, h, fx, fy, cx, cy); 7: ATAN (..., d);
  // 11: OpenCV (w, h, fx, fy, cx, cy, k1, k2, p1, p2, k3); any other length: invalid.
  explicit Camera(const std::vector<double>& parameters);
  // The model the parameters name, with their size truncated to whole pixels.
  explicit Camera(const CameraParameters& parameters);
  // Wraps an existing model without copying it (an empty pointer gives the invalid camera).
  Camera(std::shared_ptr<CameraImpl> impl);
  operator std::shared_ptr<CameraImpl>() const { return impl_; }

  const std::shared_ptr<CameraImpl>& impl() const { return impl_; }
  CameraImpl* operator->() const { return impl_.get(); }

  std::string typeName() const { return impl_->typeName(); }
  bool isValid() const { return impl_->isValid(); }
  Point2d Project(const pi::Point3d& p) const { return impl_->Project(p); }
  pi::Point3d UnProject(const Point2d& p) const { return impl_->UnProject(p); }
  std::vector<double> getParameters() const { return impl_->getParameters(); }
  // The parameters read by name.
  CameraParameters parameters() const { return CameraParameters::decode(getParameters()); }
  bool applyScale(double factor) { return impl_->applyScale(factor); }
  std::string info() const { return impl_->info(); }
  int width() const { return impl_->width; }
  int height() const { return impl_->height; }

 private:
  std::shared_ptr<CameraImpl> impl_;
};

}  // namespace fw
