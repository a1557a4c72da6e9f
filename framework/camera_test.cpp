#include "framework/camera.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <cmath>
#include <random>

namespace {

const std::vector<double> kPinhole = {640, 480, 500, 500, 320, 240};
const std::vector<double> kDistorted = {640,  480,  500,   480,    320, 240,
                                        -0.2, 0.05, 0.001, -0.002, 0.01};

// OpenCV's own projection of a camera point with the same intrinsics and distortion.
cv::Point2d opencvProject(const std::vector<double>& p, const cv::Point3d& point) {
  const cv::Matx33d k(p[2], 0, p[4], 0, p[3], p[5], 0, 0, 1);
  const std::vector<double> dist(p.begin() + 6, p.end());
  std::vector<cv::Point2d> out;
  cv::projectPoints(std::vector<cv::Point3d>{point}, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), k,
                    dist, out);
  return out[0];
}

}  // namespace

TEST(Camera, ParameterCountChoosesTheModel) {
  EXPECT_EQ(fw::Camera(std::vector<double>{640, 480}).typeName(), "Ideal");
  EXPECT_EQ(fw::Camera(kPinhole).typeName(), "PinHole");
  EXPECT_EQ(fw::Camera(std::vector<double>{640, 480, 500, 500, 320, 240, 0.9}).typeName(), "ATAN");
  EXPECT_EQ(fw::Camera(kDistorted).typeName(), "OpenCV");

  const fw::Camera invalid(std::vector<double>{1, 2, 3, 4, 5});
  EXPECT_EQ(invalid.typeName(), "NoCamera");
  EXPECT_FALSE(invalid.isValid());
  EXPECT_EQ(invalid.info(), "NoCamera:[");
  EXPECT_EQ(invalid.width(), -1);
  EXPECT_EQ(invalid.Project(pi::Point3d(0, 0, 1)), fw::Point2d(-1, -1));
  EXPECT_EQ(invalid.UnProject(fw::Point2d(3, 4)), pi::Point3d(0, 0, 0));
  EXPECT_TRUE(invalid.getParameters().empty());
  EXPECT_FALSE(fw::Camera().isValid());
}

TEST(Camera, PinholeNumbers) {
  const fw::Camera camera(kPinhole);
  EXPECT_TRUE(camera.isValid());
  EXPECT_EQ(camera.info(), "PinHole:[640,480,500,500,320,240]");
  EXPECT_EQ(camera.Project(pi::Point3d(0, 0, 2)), fw::Point2d(320, 240));
  EXPECT_EQ(camera.Project(pi::Point3d(0.2, -0.1, 1)), fw::Point2d(420, 190));
  EXPECT_EQ(camera.Project(pi::Point3d(1, 1, 4)), fw::Point2d(445, 365));
  EXPECT_EQ(camera.UnProject(fw::Point2d(320, 240)), pi::Point3d(0, 0, 1));
  EXPECT_EQ(camera.UnProject(fw::Point2d(570, 115)), pi::Point3d(0.5, -0.25, 1));
  // Behind or on the camera plane.
  EXPECT_EQ(camera.Project(pi::Point3d(1, 1, 0)), fw::Point2d(-1, -1));
  EXPECT_EQ(camera.Project(pi::Point3d(1, 1, -1)), fw::Point2d(-1, -1));
  // The ideal model divides by z regardless.
  const fw::Camera ideal(std::vector<double>{640, 480});
  EXPECT_EQ(ideal.Project(pi::Point3d(1, 2, -2)), fw::Point2d(-0.5, -1));
  EXPECT_EQ(ideal.UnProject(fw::Point2d(3, 4)), pi::Point3d(3, 4, 1));
}

TEST(Camera, PinholeWithZeroFocalLengthIsInvalid) {
  const fw::Camera camera(std::vector<double>{640, 480, 0, 500, 320, 240});
  EXPECT_FALSE(camera.isValid());
  auto* pinhole = static_cast<fw::CameraPinhole*>(camera.impl().get());
  EXPECT_EQ(pinhole->fxinv, 0);
  EXPECT_EQ(pinhole->fyinv, 0);
  // Sizes without an integer reading leave the camera invalid instead of misbehaving.
  EXPECT_FALSE(fw::Camera(std::vector<double>{NAN, 480, 500, 500, 320, 240}).isValid());
  EXPECT_FALSE(fw::Camera(std::vector<double>{1e12, 480, 500, 500, 320, 240}).isValid());
}

TEST(Camera, AtanModel) {
  // d = 0 behaves as a pinhole camera.
  const fw::Camera plain(std::vector<double>{640, 480, 500, 500, 320, 240, 0});
  EXPECT_EQ(plain.Project(pi::Point3d(0.2, -0.1, 1)), fw::Point2d(420, 190));
  EXPECT_EQ(plain.UnProject(fw::Point2d(570, 115)), pi::Point3d(0.5, -0.25, 1));

  // Intrinsics relative to the image size are scaled to pixels.
  const fw::Camera relative(std::vector<double>{640, 480, 0.8, 0.8, 0.5, 0.5, 0.9});
  const std::vector<double> p = relative.getParameters();
  EXPECT_DOUBLE_EQ(p[2], 512);
  EXPECT_DOUBLE_EQ(p[3], 384);
  EXPECT_DOUBLE_EQ(p[4], 320);
  EXPECT_DOUBLE_EQ(p[5], 240);

  // Field-of-view distortion: r_d = atan(2 r tan(d / 2)) / d, by hand for r = 0.5, d = 0.9.
  const double d = 0.9, r = 0.5;
  const double rd = std::atan(2 * r * std::tan(d / 2)) / d;
  const fw::Camera atan(std::vector<double>{640, 480, 500, 500, 320, 240, d});
  const fw::Point2d pixel = atan.Project(pi::Point3d(0.3, 0.4, 1));
  EXPECT_NEAR(pixel.x, 320 + 500 * rd * 0.6, 1e-9);
  EXPECT_NEAR(pixel.y, 240 + 500 * rd * 0.8, 1e-9);
  // Unprojection inverts it exactly (tan(d r_d) / (2 tan(d / 2)) = r).
  const pi::Point3d ray = atan.UnProject(pixel);
  EXPECT_NEAR(ray.x, 0.3, 1e-12);
  EXPECT_NEAR(ray.y, 0.4, 1e-12);
  EXPECT_EQ(atan.Project(pi::Point3d(0, 0, 0)), fw::Point2d(-1, -1));

  testing::internal::CaptureStderr();
  const fw::Camera broken(std::vector<double>{0, 480, 500, 500, 320, 240, 0.9});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Camera not valid!Info:ATAN:[0,480,500,500,320,240,0.9]\n");
}

TEST(Camera, OpenCvModelMatchesOpenCv) {
  const fw::Camera camera(kDistorted);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> coordinate(-0.6, 0.6), depth(0.5, 20);
  for (int i = 0; i < 100; ++i) {
    const double z = depth(rng);
    const cv::Point3d point(coordinate(rng) * z, coordinate(rng) * z, z);
    const fw::Point2d ours = camera.Project(pi::Point3d(point.x, point.y, point.z));
    const cv::Point2d theirs = opencvProject(kDistorted, point);
    EXPECT_NEAR(ours.x, theirs.x, 1e-9);
    EXPECT_NEAR(ours.y, theirs.y, 1e-9);
  }
  EXPECT_EQ(camera.Project(pi::Point3d(1, 1, -1)), fw::Point2d(-1, -1));
}

TEST(Camera, OpenCvUnprojectionReachesWhatFiveIterationsReach) {
  const fw::Camera camera(kDistorted);
  const cv::Matx33d k(500, 0, 320, 0, 480, 240, 0, 0, 1);
  const std::vector<double> dist(kDistorted.begin() + 6, kDistorted.end());
  for (double u = 0; u <= 640; u += 80) {
    for (double v = 0; v <= 480; v += 60) {
      // OpenCV's undistortPoints also runs five fixed iterations when given no criteria.
      std::vector<cv::Point2d> normalised;
      cv::undistortPoints(std::vector<cv::Point2d>{{u, v}}, normalised, k, dist);
      const pi::Point3d ray = camera.UnProject(fw::Point2d(u, v));
      EXPECT_NEAR(ray.x, normalised[0].x, 1e-12);
      EXPECT_NEAR(ray.y, normalised[0].y, 1e-12);
      EXPECT_EQ(ray.z, 1);
    }
  }
  // Near the centre five iterations bring a projected point back closely.
  const fw::Point2d pixel = camera.Project(pi::Point3d(0.1, -0.05, 1));
  const pi::Point3d ray = camera.UnProject(pixel);
  EXPECT_NEAR(ray.x, 0.1, 1e-6);
  EXPECT_NEAR(ray.y, -0.05, 1e-6);
}

TEST(Camera, OpenCvWithoutDistortionEqualsPinhole) {
  const fw::Camera pinhole(kPinhole);
  const fw::Camera opencv(std::vector<double>{640, 480, 500, 500, 320, 240, 0, 0, 0, 0, 0});
  for (double u = 0; u < 640; u += 37.5) {
    EXPECT_EQ(opencv.UnProject(fw::Point2d(u, 0.25 * u)),
              pinhole.UnProject(fw::Point2d(u, 0.25 * u)));
    const pi::Point3d p(u / 640 - 0.5, 0.3, 1.5);
    EXPECT_NEAR(opencv.Project(p).x, pinhole.Project(p).x, 1e-12);
    EXPECT_EQ(opencv.Project(p).y, pinhole.Project(p).y);
  }
}

TEST(Camera, ScalingAndSharing) {
  fw::Camera camera(kPinhole);
  const fw::Camera copy = camera;
  EXPECT_TRUE(camera.applyScale(0.5));
  // Copies share one model.
  EXPECT_EQ(copy.getParameters(), (std::vector<double>{320, 240, 250, 250, 160, 120}));
  EXPECT_EQ(copy.UnProject(fw::Point2d(410, 120)), pi::Point3d(1, 0, 1));

  fw::Camera ideal(std::vector<double>{640, 480});
  EXPECT_FALSE(ideal.applyScale(0.5));
  EXPECT_EQ(ideal.width(), 640);

  fw::Camera distorted(kDistorted);
  EXPECT_TRUE(distorted.applyScale(2));
  EXPECT_EQ(distorted.getParameters()[0], 1280);
  EXPECT_EQ(distorted.getParameters()[6], -0.2);

  // A camera and a shared model convert into each other without copying.
  const std::shared_ptr<fw::CameraImpl> impl = camera;
  EXPECT_EQ(impl.get(), camera.impl().get());
  const fw::Camera wrapped(impl);
  EXPECT_EQ(wrapped.impl().get(), impl.get());
  EXPECT_EQ(fw::Camera(std::shared_ptr<fw::CameraImpl>()).typeName(), "NoCamera");
}

TEST(CameraParameters, ReadTheVectorByNameAndWriteItBack) {
  const std::vector<std::vector<double>> vectors = {
      {}, {640, 480}, kPinhole, {640, 480, 500, 500, 320, 240, 0.9}, kDistorted};
  const fw::CameraModel models[] = {fw::CameraModel::kNone, fw::CameraModel::kIdeal,
                                    fw::CameraModel::kPinhole, fw::CameraModel::kAtan,
                                    fw::CameraModel::kOpenCV};
  for (size_t i = 0; i < vectors.size(); ++i) {
    const fw::CameraParameters k = fw::CameraParameters::decode(vectors[i]);
    EXPECT_EQ(k.model, models[i]) << i;
    EXPECT_EQ(k.encode(), vectors[i]) << i;
    // The camera built from the view is the camera built from the vector.
    EXPECT_EQ(fw::Camera(k).info(), fw::Camera(vectors[i]).info()) << i;
    EXPECT_EQ(fw::Camera(vectors[i]).parameters().encode(), vectors[i]) << i;
  }
  const fw::CameraParameters k = fw::CameraParameters::decode(kDistorted);
  EXPECT_EQ(k.width, 640);
  EXPECT_EQ(k.height, 480);
  EXPECT_EQ(k.fx, 500);
  EXPECT_EQ(k.fy, 480);
  EXPECT_EQ(k.cx, 320);
  EXPECT_EQ(k.cy, 240);
  EXPECT_EQ(k.distortion, (std::vector<double>{-0.2, 0.05, 0.001, -0.002, 0.01}));
  EXPECT_TRUE(k.hasIntrinsics());
  EXPECT_EQ(k.withoutDistortion().encode(), (std::vector<double>{640, 480, 500, 480, 320, 240}));

  // What a vector does not hold reads as zero; a length no model has names no model.
  const fw::CameraParameters ideal = fw::CameraParameters::decode({640, 480});
  EXPECT_FALSE(ideal.hasIntrinsics());
  EXPECT_EQ(ideal.fx, 0);
  const fw::CameraParameters odd = fw::CameraParameters::decode({640, 480, 500});
  EXPECT_EQ(odd.model, fw::CameraModel::kNone);
  EXPECT_EQ(odd.width, 640);
  EXPECT_EQ(odd.fx, 0);
  EXPECT_TRUE(odd.encode().empty());
  EXPECT_FALSE(fw::Camera(odd).isValid());
}

TEST(CameraParameters, PinholeRulesAgreeWithTheCameraInEveryNumberType) {
  const fw::Camera camera(kPinhole);
  const fw::Pinhole k = camera.parameters().pinhole();
  const pi::Point3d point(1.25, -0.75, 3.5);
  const fw::Point2d pixel = camera.Project(point);
  EXPECT_EQ(fw::pixelOfPoint(k.fx, k.cx, point.x, point.z), pixel.x);
  EXPECT_EQ(fw::pixelOfPoint(k.fy, k.cy, point.y, point.z), pixel.y);
  const pi::Point3d ray = camera.UnProject(pixel);
  EXPECT_EQ(fw::rayOfPixel(pixel.x, k.cx, 1.0 / k.fx), ray.x);
  EXPECT_EQ(fw::rayOfPixel(pixel.y, k.cy, 1.0 / k.fy), ray.y);
  EXPECT_NEAR(ray.x, point.x / point.z, 1e-15);
  // In single precision the same rule gives the single-precision ray.
  EXPECT_FLOAT_EQ(fw::rayOfPixel(float(pixel.x), float(k.cx), float(1.0 / k.fx)),
                  float(point.x / point.z));
  // 100 m above the ground with a 500-pixel focal length, a pixel covers 0.2 m.
  EXPECT_EQ(fw::groundSampleDistance(100.0, k.fx), 0.2);
}
