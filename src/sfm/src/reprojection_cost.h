#pragma once

#include "camera_intrinsics.h"

#include <ceres/sized_cost_function.h>

namespace sfm {

// The reprojection error of one observation, in pixels: parameter blocks are the frame's pose
// (angle-axis of camera_from_local, then the centre), the camera's refined values (focal, cx,
// cy, k1, k2) and the point. Its derivatives are written out, the rotation's through
// three-dimensional dual numbers only: the bundle adjustment spends most of its time here,
// and automatic differentiation over all fourteen parameters costs several times as much.
// Fails (as Ceres expects) for a point not in front of the camera.
class ReprojectionCost : public ceres::SizedCostFunction<2, 6, CameraIntrinsics::kRefined, 3> {
 public:
  ReprojectionCost(const CameraIntrinsics* camera, double u, double v)
      : camera_(camera), u_(u), v_(v) {}

  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override;

 private:
  const CameraIntrinsics* camera_;  // its distortion beyond k1, k2 and its aspect
  double u_, v_;
};

}  // namespace sfm
