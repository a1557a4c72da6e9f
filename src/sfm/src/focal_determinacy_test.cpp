#include "focal_determinacy.h"

#include <ceres/ceres.h>
#include <gtest/gtest.h>

#include <cmath>

namespace sfm {
namespace {

// The focal length known only through its prior: (f - f0) / sigma.
struct FocalPrior {
  explicit FocalPrior(double sigma) : sigma(sigma) {}
  template <typename T>
  bool operator()(const T* f, T* residual) const {
    residual[0] = (f[0] - T(1000.0)) / T(sigma);
    return true;
  }
  double sigma;
};

// Rows that see a point: one shares the focal length's column (f + p0), the others fix the
// point alone, so the point is determined and the reduction has a closed form.
struct PointRows {
  template <typename T>
  bool operator()(const T* f, const T* p, T* residual) const {
    residual[0] = f[0] + p[0];
    residual[1] = p[0];
    residual[2] = p[1];
    residual[3] = p[2];
    return true;
  }
};

// Rows of a point that never depend on the focal length.
struct UnrelatedRows {
  template <typename T>
  bool operator()(const T* f, const T* p, T* residual) const {
    residual[0] = p[0] + T(0.0) * f[0];
    residual[1] = p[1];
    residual[2] = p[2];
    return true;
  }
};

struct SmallProblem {
  explicit SmallProblem(double prior_sigma) {
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<FocalPrior, 1, 1>(new FocalPrior(prior_sigma)), nullptr,
        &focal);
  }
  void addPoint() {
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<PointRows, 4, 1, 3>(new PointRows),
                             nullptr, &focal, point);
  }
  double focal = 1000.0;
  double point[3] = {1.0, 2.0, 3.0};
  ceres::Problem problem;
};

TEST(FocalDeterminacy, APriorAloneGivesItsOwnSigma) {
  SmallProblem small(4.0);
  EXPECT_NEAR(focalStandardDeviation(small.problem, {&small.focal}, 1.0, 1), 4.0, 1e-12);
}

// Normal equations over (f, p0): [[1/s² + w, w], [w, 2w]] with w = 1 / pixel_sigma²; taking
// the point out leaves 1/s² + w/2 for the focal length.
TEST(FocalDeterminacy, APointSharingTheFocalColumnIsEliminated) {
  for (double pixel_sigma : {1.0, 2.0}) {
    SmallProblem small(1.0);
    small.addPoint();
    const double w = 1.0 / (pixel_sigma * pixel_sigma);
    EXPECT_NEAR(focalStandardDeviation(small.problem, {&small.focal}, pixel_sigma, 1),
                1.0 / std::sqrt(1.0 + w / 2.0), 1e-12)
        << pixel_sigma;
  }
}

TEST(FocalDeterminacy, UnusableInputIsInfinite) {
  SmallProblem small(1.0);
  small.addPoint();
  EXPECT_TRUE(std::isinf(focalStandardDeviation(small.problem, {}, 1.0, 1)));
  EXPECT_TRUE(std::isinf(focalStandardDeviation(small.problem, {&small.focal}, 0.0, 1)));
  // A free block that is not a point cannot be eliminated point by point.
  double other = 0.0;
  small.problem.AddResidualBlock(
      new ceres::AutoDiffCostFunction<FocalPrior, 1, 1>(new FocalPrior(1.0)), nullptr, &other);
  EXPECT_TRUE(std::isinf(focalStandardDeviation(small.problem, {&small.focal}, 1.0, 1)));
  // Without the prior, nothing ties the focal length down.
  ceres::Problem unfixed;
  double f = 1.0, p[3] = {0.0, 0.0, 0.0};
  unfixed.AddResidualBlock(
      new ceres::AutoDiffCostFunction<UnrelatedRows, 3, 1, 3>(new UnrelatedRows), nullptr, &f, p);
  EXPECT_TRUE(std::isinf(focalStandardDeviation(unfixed, {&f}, 1.0, 1)));
}

}  // namespace
}  // namespace sfm
