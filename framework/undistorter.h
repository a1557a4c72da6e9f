#pragma once

// Resamples images taken with one camera (camera in) into the geometry of another (camera
// out) through a per-pixel source table built once.

#include "framework/camera.h"
#include "framework/gimage.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace fw {

class UndistorterImpl {
 public:
  UndistorterImpl(const Camera& in, const Camera& out);

  // Builds the source table; leaves the undistorter not ready when a camera is invalid.
  void prepareMaps();
  // Fills `out` with camera out's view of `in` (nearest source pixel toward the origin,
  // zero where there is none). When not ready or when `in` is not camera in's size, `out`
  // shares `in` and the result is false.
  bool undistort(const GImage& in, GImage& out) const;
  bool isReady() const { return ready_; }

 private:
  std::shared_ptr<CameraImpl> cameraIn_;
  std::shared_ptr<CameraImpl> cameraOut_;
  std::vector<float> sourceX_;
  std::vector<float> sourceY_;
  std::vector<int32_t> sourceIndex_;  // -1: no source pixel
  bool ready_ = false;
};

// A value sharing one UndistorterImpl.
class Undistorter {
 public:
  Undistorter(const Camera& in, const Camera& out)
      : impl_(std::make_shared<UndistorterImpl>(in, out)) {}

  bool undistort(const GImage& in, GImage& out) const { return impl_->undistort(in, out); }
  bool isReady() const { return impl_->isReady(); }

 private:
  std::shared_ptr<UndistorterImpl> impl_;
};

}  // namespace fw
