#include "framework/pose.h"
#include "framework/geodesy.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <cmath>
#include <limits>
#include <random>

namespace {

// The rotation matrix of an axis-angle vector, computed by OpenCV.
fw::Matrix3 rodrigues(double rx, double ry, double rz) {
  cv::Mat r;
  cv::Rodrigues(cv::Vec3d(rx, ry, rz), r);
  fw::Matrix3 m;
  for (int i = 0; i < 9; ++i) m[size_t(i)] = r.at<double>(i / 3, i % 3);
  return m;
}

pi::Point3d apply(const fw::Matrix3& m, const pi::Point3d& p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z, m[3] * p.x + m[4] * p.y + m[5] * p.z,
          m[6] * p.x + m[7] * p.y + m[8] * p.z};
}

void expectNear(const pi::Point3d& a, const pi::Point3d& b, double tolerance) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

SE3 randomPose(std::mt19937& rng) {
  std::uniform_real_distribution<double> angle(-3.0, 3.0), offset(-100, 100);
  fw::Quaternion q;
  EXPECT_TRUE(fw::quaternionFromMatrix(rodrigues(angle(rng), angle(rng), angle(rng)), q));
  return SE3(q, pi::Point3d(offset(rng), offset(rng), offset(rng)));
}

}  // namespace

TEST(Quaternion, RotatesLikeTheOpenCvRotationMatrix) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-3.1, 3.1), coordinate(-10, 10);
  for (int i = 0; i < 200; ++i) {
    const fw::Matrix3 m = rodrigues(angle(rng), angle(rng), angle(rng));
    fw::Quaternion q;
    ASSERT_TRUE(fw::quaternionFromMatrix(m, q));
    EXPECT_NEAR(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w, 1.0, 1e-12);
    const pi::Point3d p(coordinate(rng), coordinate(rng), coordinate(rng));
    expectNear(fw::transformPoint(q, p), apply(m, p), 1e-9);
    const fw::Matrix3 back = fw::quaternionToMatrix(q);
    for (size_t k = 0; k < 9; ++k) EXPECT_NEAR(back[k], m[k], 1e-12);
  }
}

TEST(Quaternion, FromMatrixCoversEachLargestComponent) {
  // w largest: identity.
  fw::Quaternion q;
  ASSERT_TRUE(fw::quaternionFromMatrix(fw::Matrix3{1, 0, 0, 0, 1, 0, 0, 0, 1}, q));
  EXPECT_EQ(q.x, 0);
  EXPECT_EQ(q.y, 0);
  EXPECT_EQ(q.z, 0);
  EXPECT_EQ(q.w, 1);
  // x largest: 180° about x; y largest: 180° about y.
  ASSERT_TRUE(fw::quaternionFromMatrix(fw::Matrix3{1, 0, 0, 0, -1, 0, 0, 0, -1}, q));
  EXPECT_DOUBLE_EQ(q.x, 1);
  ASSERT_TRUE(fw::quaternionFromMatrix(fw::Matrix3{-1, 0, 0, 0, 1, 0, 0, 0, -1}, q));
  EXPECT_DOUBLE_EQ(q.y, 1);
  // z largest: 180° about z gives (0, 0, 1, 0) with negative zeros.
  ASSERT_TRUE(fw::quaternionFromMatrix(fw::Matrix3{-1, 0, 0, 0, -1, 0, 0, 0, 1}, q));
  EXPECT_DOUBLE_EQ(q.z, 1);
  EXPECT_EQ(q.w, 0);
  EXPECT_TRUE(std::signbit(q.w));
  EXPECT_TRUE(std::signbit(q.x));
  // Near-180° rotations about tilted axes take the x, y and z branches with signs intact.
  for (const auto& axis :
       {cv::Vec3d(1, 0.2, -0.1), cv::Vec3d(0.1, 1, 0.3), cv::Vec3d(-0.2, 0.3, 1)}) {
    const cv::Vec3d r = axis * (3.0 / cv::norm(axis));
    const fw::Matrix3 m = rodrigues(r[0], r[1], r[2]);
    ASSERT_TRUE(fw::quaternionFromMatrix(m, q));
    const pi::Point3d p(1, 2, 3);
    expectNear(fw::transformPoint(q, p), apply(m, p), 1e-12);
  }
}

TEST(Quaternion, MatrixWithNaNIsACodingError) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  fw::Quaternion q(0.1, 0.2, 0.3, 0.4);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(fw::quaternionFromMatrix(fw::Matrix3{nan, 0, 0, 0, nan, 0, 0, 0, nan}, q));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "coding error\n");
  EXPECT_EQ(q.x, 0.1);
}

TEST(Quaternion, ProductComposesRotations) {
  // 90° about z then 90° about x, applied right to left.
  const double h = std::sqrt(0.5);
  const fw::Quaternion z90(0, 0, h, h), x90(h, 0, 0, h);
  const fw::Quaternion both = fw::quaternionProduct(x90, z90);
  // (1, 0, 0) -> z90 -> (0, 1, 0) -> x90 -> (0, 0, 1).
  expectNear(fw::transformPoint(both, pi::Point3d(1, 0, 0)), pi::Point3d(0, 0, 1), 1e-15);
  cv::Mat q = cv::Mat::eye(3, 3, CV_64F);
  fw::Quaternion fromMat;
  ASSERT_TRUE(fw::quaternionFromMatrix(q, fromMat));
  EXPECT_EQ(fromMat.w, 1);
  EXPECT_THROW(fw::quaternionFromMatrix(cv::Mat::eye(3, 3, CV_32F), fromMat),
               std::invalid_argument);
}

TEST(Rotation, ElementaryRotationsMatchOpenCvAxisAngle) {
  for (double angle : {-2.5, -0.3, 0.0, 0.7, M_PI / 2, 3.0}) {
    const fw::Matrix3 x = fw::rotationAboutX(angle), y = fw::rotationAboutY(angle),
                      z = fw::rotationAboutZ(angle);
    const fw::Matrix3 rx = rodrigues(angle, 0, 0), ry = rodrigues(0, angle, 0),
                      rz = rodrigues(0, 0, angle);
    for (size_t k = 0; k < 9; ++k) {
      EXPECT_NEAR(x[k], rx[k], 1e-12) << angle;
      EXPECT_NEAR(y[k], ry[k], 1e-12) << angle;
      EXPECT_NEAR(z[k], rz[k], 1e-12) << angle;
    }
  }
  // Right-handed: a quarter turn about z carries x onto y, about x carries y onto z.
  expectNear(apply(fw::rotationAboutZ(M_PI / 2), {1, 0, 0}), {0, 1, 0}, 1e-15);
  expectNear(apply(fw::rotationAboutX(M_PI / 2), {0, 1, 0}), {0, 0, 1}, 1e-15);
  expectNear(apply(fw::rotationAboutY(M_PI / 2), {0, 0, 1}), {1, 0, 0}, 1e-15);
}

TEST(SE3, InverseAndCompositionIdentities) {
  std::mt19937 rng(11);
  for (int i = 0; i < 100; ++i) {
    const SE3 a = randomPose(rng), b = randomPose(rng);
    const SE3 identity = SE3::compose(a.inverse(), a);
    EXPECT_NEAR(std::fabs(identity.q.w), 1.0, 1e-12);
    expectNear(identity.t, pi::Point3d(0, 0, 0), 1e-9);
    const pi::Point3d p(3, -4, 5);
    expectNear(a.inverse().transformPoint(a.transformPoint(p)), p, 1e-9);
    expectNear(SE3::compose(a, b).transformPoint(p), a.transformPoint(b.transformPoint(p)), 1e-9);
  }
  // A pure translation.
  const SE3 shift(fw::Quaternion(), pi::Point3d(1, 2, 3));
  expectNear(shift.transformPoint(pi::Point3d(1, 1, 1)), pi::Point3d(2, 3, 4), 0);
  expectNear(shift.inverse().t, pi::Point3d(-1, -2, -3), 0);
}

TEST(Sim3, ScalesBeforeRotatingAndComposes) {
  const double h = std::sqrt(0.5);
  const Sim3 s(fw::Quaternion(0, 0, h, h), pi::Point3d(10, 0, 0), 2.0);
  // (1, 0, 0) scaled to (2, 0, 0), turned 90° about z to (0, 2, 0), moved by (10, 0, 0).
  expectNear(s.transformPoint(pi::Point3d(1, 0, 0)), pi::Point3d(10, 2, 0), 1e-12);
  const Sim3 twice = Sim3::compose(s, s);
  EXPECT_DOUBLE_EQ(twice.s, 4.0);
  const pi::Point3d p(1, -2, 0.5);
  expectNear(twice.transformPoint(p), s.transformPoint(s.transformPoint(p)), 1e-12);
}

TEST(Geodesy, PublishedWgs84Points) {
  const pi::Point3d origin = fw::geodeticToECEF(0, 0, 0);
  EXPECT_DOUBLE_EQ(origin.x, 6378137.0);
  EXPECT_DOUBLE_EQ(origin.y, 0.0);
  EXPECT_DOUBLE_EQ(origin.z, 0.0);
  // The pole lies at the semi-minor axis b = 6356752.314245 m.
  const pi::Point3d pole = fw::geodeticToECEF(90, 0, 0);
  EXPECT_NEAR(pole.x, 0, 1e-6);
  EXPECT_NEAR(pole.z, 6356752.314245, 1e-5);
  // 90° east on the equator, 100 m up.
  const pi::Point3d east = fw::geodeticToECEF(0, 90, 100);
  EXPECT_NEAR(east.x, 0, 1e-6);
  EXPECT_NEAR(east.y, 6378237.0, 1e-6);
  // At 45° N: N = a / sqrt(1 - e² sin²φ), x = N cos φ, z = N (1 - e²) sin φ (e² =
  // 0.00669437999014).
  const double e2 = 0.00669437999014, s = std::sqrt(0.5);
  const double n = 6378137.0 / std::sqrt(1 - e2 * 0.5);
  const pi::Point3d mid = fw::geodeticToECEF(45, 0, 0);
  EXPECT_NEAR(mid.x, n * s, 1e-3);
  EXPECT_NEAR(mid.z, n * (1 - e2) * s, 1e-3);

  const pi::Point3d back = fw::ecefToGeodetic(6378137, 0, 0);
  EXPECT_NEAR(back.x, 0, 1e-12);
  EXPECT_NEAR(back.y, 0, 1e-12);
  EXPECT_NEAR(back.z, 0, 1e-6);
}

TEST(Geodesy, RoundTripWithinAMillimetreUpToThePoles) {
  for (double latitude : {-89.9, -75.0, -45.0, -10.0, 0.0, 12.5, 30.0, 60.0, 85.0, 89.9}) {
    for (double longitude : {-179.0, -90.0, 0.0, 45.0, 120.0}) {
      for (double height : {-100.0, 0.0, 250.0, 3000.0}) {
        const pi::Point3d ecef = fw::geodeticToECEF(latitude, longitude, height);
        const pi::Point3d lla = fw::ecefToGeodetic(ecef.x, ecef.y, ecef.z);
        // 1 mm of arc is about 9e-9 degrees of latitude.
        EXPECT_NEAR(lla.x, latitude, 9e-9) << latitude << " " << longitude << " " << height;
        EXPECT_NEAR(lla.y, longitude, 1e-9);
        EXPECT_NEAR(lla.z, height, 1e-3) << latitude << " " << longitude << " " << height;
      }
    }
  }
}

TEST(Geodesy, HeightAtThePoleIsDefined) {
  // Exactly above the pole the longitude is 0 and the height is z - b.
  const pi::Point3d lla = fw::ecefToGeodetic(0, 0, 6356752.314245 + 50.0);
  EXPECT_NEAR(lla.x, 90.0, 1e-12);
  EXPECT_NEAR(lla.z, 50.0, 1e-3);
}
