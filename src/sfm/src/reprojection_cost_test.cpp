#include "reprojection_cost.h"

#include <ceres/autodiff_cost_function.h>
#include <ceres/rotation.h>
#include <gtest/gtest.h>

#include <random>

namespace sfm {
namespace {

// The same error differentiated automatically over all its parameters.
struct AutomaticReprojection {
  const CameraIntrinsics* camera;
  double u, v;

  template <typename T>
  bool operator()(const T* pose, const T* k, const T* point, T* residual) const {
    const T offset[3] = {point[0] - pose[3], point[1] - pose[4], point[2] - pose[5]};
    T p[3];
    ceres::AngleAxisRotatePoint(pose, offset, p);
    if (!(p[2] > T(1e-6))) return false;
    T pixel[2];
    projectToPixel(k, *camera, p, pixel);
    residual[0] = pixel[0] - T(u);
    residual[1] = pixel[1] - T(v);
    return true;
  }
};

// Cameras with every kind of distortion, turned every way, looking at points in front of
// them: the written-out derivatives are those of automatic differentiation.
TEST(ReprojectionCost, DerivativesAreThoseOfAutomaticDifferentiation) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int trial = 0; trial < 50; ++trial) {
    CameraIntrinsics camera = CameraIntrinsics::fromCalibration(
        {1000, 750, 800 + 50 * unit(rng), 800, 500 + 5 * unit(rng), 375 + 5 * unit(rng),
         0.05 * unit(rng), 0.02 * unit(rng), 0.001 * unit(rng), 0.001 * unit(rng),
         0.01 * unit(rng)});
    camera.aspect = 1.0 + 0.01 * unit(rng);
    double pose[6] = {unit(rng),      unit(rng),      unit(rng),
                      10 * unit(rng), 10 * unit(rng), 100 + 10 * unit(rng)};
    // A point 100 m or so ahead of the camera, off its axis.
    const double ahead[3] = {30 * unit(rng), 30 * unit(rng), 100 + 20 * unit(rng)};
    double turned_back[3], minus[3] = {-pose[0], -pose[1], -pose[2]};
    ceres::AngleAxisRotatePoint(minus, ahead, turned_back);
    double point[3] = {turned_back[0] + pose[3], turned_back[1] + pose[4],
                       turned_back[2] + pose[5]};
    const double* parameters[3] = {pose, camera.refined.data(), point};

    const ReprojectionCost written(&camera, 480.0, 360.0);
    ceres::AutoDiffCostFunction<AutomaticReprojection, 2, 6, 5, 3> automatic(
        new AutomaticReprojection{&camera, 480.0, 360.0});
    double r1[2], r2[2], j1[3][18], j2[3][18];
    double* jw[3] = {j1[0], j1[1], j1[2]};
    double* ja[3] = {j2[0], j2[1], j2[2]};
    ASSERT_TRUE(written.Evaluate(parameters, r1, jw));
    ASSERT_TRUE(automatic.Evaluate(parameters, r2, ja));
    EXPECT_NEAR(r1[0], r2[0], 1e-9);
    EXPECT_NEAR(r1[1], r2[1], 1e-9);
    const int sizes[3] = {12, 10, 6};
    for (int b = 0; b < 3; ++b) {
      for (int e = 0; e < sizes[b]; ++e)
        EXPECT_NEAR(j1[b][e], j2[b][e], 1e-7 * (1.0 + std::abs(j2[b][e])))
            << "trial " << trial << " block " << b << " entry " << e;
    }
    // Some blocks asked for, others not, and none at all.
    double* only_point[3] = {nullptr, nullptr, j1[2]};
    ASSERT_TRUE(written.Evaluate(parameters, r1, only_point));
    for (int e = 0; e < 6; ++e) EXPECT_NEAR(j1[2][e], j2[2][e], 1e-7 * (1.0 + std::abs(j2[2][e])));
    ASSERT_TRUE(written.Evaluate(parameters, r1, nullptr));
    EXPECT_NEAR(r1[0], r2[0], 1e-9);
  }
}

TEST(ReprojectionCost, APointBehindTheCameraFails) {
  const CameraIntrinsics camera =
      CameraIntrinsics::fromCalibration({1000, 750, 800, 800, 500, 375, 0, 0, 0, 0, 0});
  double pose[6] = {0, 0, 0, 0, 0, 0}, k[5];
  std::copy(camera.refined.begin(), camera.refined.end(), k);
  double point[3] = {1.0, 2.0, -50.0};
  const double* parameters[3] = {pose, k, point};
  double r[2];
  EXPECT_FALSE(ReprojectionCost(&camera, 0, 0).Evaluate(parameters, r, nullptr));
}

}  // namespace
}  // namespace sfm
