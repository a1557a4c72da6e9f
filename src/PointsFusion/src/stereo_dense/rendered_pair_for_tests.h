#pragma once

// Located frames over rendered ground for the tests of the pair geometry: the relief scene
// of tools/ or a flat plane wearing its orthophoto, seen by pinhole cameras (optionally with
// radial distortion) placed in the scene's east-north-up metres, which serve as world
// coordinates. Each frame's sparse points are true surface points on a pixel grid.

#include "framework/captured_log_for_tests.h"
#include "framework/located_frame_for_tests.h"
#include "framework/log.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "tools/geo_frame.h"
#include "tools/synthetic_scene.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace densetest {

#if defined(__SANITIZE_THREAD__)
// OpenCV's pool hands work over in code the thread sanitizer cannot see, so under it the
// test program runs OpenCV serially from the start.
inline const bool kSerialOpenCv = [] {
  cv::setNumThreads(1);
  return true;
}();
// Single-threaded accuracy checks add nothing under the thread sanitizer but minutes.
#define DENSETEST_SKIP_UNDER_TSAN() GTEST_SKIP() << "accuracy check; no threads of its own"
#else
#define DENSETEST_SKIP_UNDER_TSAN() (void)0
#endif

// Keeps the log lines written while it is registered.
using LogLines = fwtest::CapturedLog;

// The relief scene, the plane at height 0 with the same texture, or the plane at height 0 as
// a field of fine repetitive low-contrast furrows in near-infrared colours.
class Ground {
 public:
  explicit Ground(bool flat) : flat_(flat) {}
  static Ground furrowedField() {
    Ground ground(true);
    ground.furrowed_ = true;
    return ground;
  }

  static const flight::SyntheticScene& scene() {
    static const flight::SyntheticScene instance{flight::SceneOptions()};
    return instance;
  }

  bool intersect(const cv::Vec3d& origin, const cv::Vec3d& direction, double* t,
                 cv::Vec3b* colour) const {
    if (!flat_) {
      flight::SurfaceHit hit;
      if (!scene().intersect(origin, direction, &hit)) return false;
      *t = hit.t;
      if (colour) *colour = hit.colour;
      return true;
    }
    if (!(direction[2] < 0)) return false;
    *t = -origin[2] / direction[2];
    if (colour)
      *colour = furrowed_ ? furrowAt(origin + *t * direction) : textureAt(origin + *t * direction);
    return true;
  }

 private:
  // Smooth noise of unit cells: a hash of the cell corners, blended bilinearly, in -1 .. 1.
  static double valueNoise(double x, double y) {
    const auto corner = [](int64_t i, int64_t j) {
      uint64_t h = uint64_t(i) * 0x9E3779B97F4A7C15ull ^ uint64_t(j) * 0xC2B2AE3D27D4EB4Full;
      h ^= h >> 29;
      h *= 0xBF58476D1CE4E5B9ull;
      h ^= h >> 32;
      return double(h % 2001) / 1000.0 - 1.0;
    };
    const double fx = std::floor(x), fy = std::floor(y);
    const int64_t i = int64_t(fx), j = int64_t(fy);
    const double u = x - fx, v = y - fy;
    return (1 - u) * (1 - v) * corner(i, j) + u * (1 - v) * corner(i + 1, j) +
           (1 - u) * v * corner(i, j + 1) + u * v * corner(i + 1, j + 1);
  }

  // Furrows 0.3 m apart across the field, a few grey levels deep, over soil and crop that
  // vary slowly and a fine grain of clods; vegetation is bright in near-infrared (red here).
  static cv::Vec3b furrowAt(const cv::Vec3d& p) {
    const double across = 0.866 * p[0] + 0.5 * p[1];
    const double furrow = std::sin(2 * CV_PI * across / 0.3);
    const double field = valueNoise(p[0] / 23.0, p[1] / 23.0);
    const double grain = valueNoise(p[0] / 0.35, p[1] / 0.35);
    const double level = 3.0 * furrow + 2.0 * field + 1.0 * grain;
    return cv::Vec3b(cv::saturate_cast<uchar>(95 + 0.6 * level),
                     cv::saturate_cast<uchar>(105 + 0.7 * level),
                     cv::saturate_cast<uchar>(170 + level));
  }

  // Bilinear sample of the orthophoto at a ground position.
  static cv::Vec3b textureAt(const cv::Vec3d& p) {
    const flight::SceneOptions& o = scene().options();
    const cv::Mat& photo = scene().orthophoto();
    const double x = std::clamp((p[0] - o.east_min) / o.texel - 0.5, 0.0, photo.cols - 1.001);
    const double y = std::clamp((o.north_max - p[1]) / o.texel - 0.5, 0.0, photo.rows - 1.001);
    const int x0 = int(x), y0 = int(y);
    const double fx = x - x0, fy = y - y0;
    cv::Vec3d sum = (1 - fx) * (1 - fy) * cv::Vec3d(photo.at<cv::Vec3b>(y0, x0)) +
                    fx * (1 - fy) * cv::Vec3d(photo.at<cv::Vec3b>(y0, x0 + 1)) +
                    (1 - fx) * fy * cv::Vec3d(photo.at<cv::Vec3b>(y0 + 1, x0)) +
                    fx * fy * cv::Vec3d(photo.at<cv::Vec3b>(y0 + 1, x0 + 1));
    return cv::Vec3b(cv::saturate_cast<uchar>(sum[0]), cv::saturate_cast<uchar>(sum[1]),
                     cv::saturate_cast<uchar>(sum[2]));
  }

  bool flat_;
  bool furrowed_ = false;
};

struct View {
  std::vector<double> camera;  // 6 or 11 parameters
  double east = 0, north = 0, height = 80, yaw = 0;
};

inline cv::Matx33d enuFromCamera(const View& v) { return flight::enuFromCamera(-90, v.yaw, 0); }

inline SE3 worldFromCamera(const View& v) {
  const cv::Matx33d r = enuFromCamera(v);
  fw::Matrix3 m;
  for (int i = 0; i < 9; ++i) m[i] = r(i / 3, i % 3);
  fw::Quaternion q;
  fw::quaternionFromMatrix(m, q);
  return SE3(q, pi::Point3d(v.east, v.north, v.height));
}

// Normalised rays (z = 1) of pixels, the camera's distortion undone.
inline std::vector<cv::Point2f> raysOf(const std::vector<double>& c,
                                       const std::vector<cv::Point2f>& pixels) {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << c[2], 0, c[4], 0, c[3], c[5], 0, 0, 1);
  cv::Mat D = cv::Mat::zeros(5, 1, CV_64F);
  if (c.size() == 11)
    for (int i = 0; i < 5; ++i) D.at<double>(i) = c[6 + i];
  std::vector<cv::Point2f> rays;
  if (cv::countNonZero(D) == 0) {
    for (const cv::Point2f& p : pixels)
      rays.emplace_back(float((p.x - c[4]) / c[2]), float((p.y - c[5]) / c[3]));
    return rays;
  }
  cv::undistortPoints(pixels, rays, K, D, cv::noArray(), cv::noArray(),
                      cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 40, 1e-10));
  return rays;
}

inline cv::Mat renderImage(const Ground& ground, const View& v) {
  const int w = int(v.camera[0]), h = int(v.camera[1]);
  std::vector<cv::Point2f> pixels;
  pixels.reserve(size_t(w) * h);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) pixels.emplace_back(float(c), float(r));
  const std::vector<cv::Point2f> rays = raysOf(v.camera, pixels);
  const cv::Matx33d rotation = enuFromCamera(v);
  const cv::Vec3d origin(v.east, v.north, v.height);
  cv::Mat image(h, w, CV_8UC3);
  // Plain threads rather than OpenCV's pool, whose hand-over the thread sanitizer cannot see.
  const int workers = int(std::max(1u, std::min(8u, std::thread::hardware_concurrency())));
  std::vector<std::thread> threads;
  for (int k = 0; k < workers; ++k)
    threads.emplace_back([&, k] {
      for (int r = k; r < h; r += workers)
        for (int c = 0; c < w; ++c) {
          const cv::Point2f& ray = rays[size_t(r) * w + c];
          double t = 0;
          cv::Vec3b colour(235, 206, 135);
          ground.intersect(origin, rotation * cv::Vec3d(ray.x, ray.y, 1.0), &t, &colour);
          image.at<cv::Vec3b>(r, c) = colour;
        }
    });
  for (std::thread& thread : threads) thread.join();
  return image;
}

// The located frame of the view: its key points see true surface points on a pixel grid; its
// image file is `imagePath`.
inline std::shared_ptr<MapFrame> locatedFrame(const Ground& ground, const View& v, uint64_t id,
                                              const std::string& imagePath) {
  std::vector<cv::Point2f> grid;
  for (int gy = 0; gy <= 30; ++gy)
    for (int gx = 0; gx <= 40; ++gx)
      grid.emplace_back(float((v.camera[0] - 1) * gx / 40), float((v.camera[1] - 1) * gy / 30));
  const cv::Matx33d rotation = enuFromCamera(v);
  const cv::Vec3d origin(v.east, v.north, v.height);
  std::vector<pi::Point3d> sparse;
  for (const cv::Point2f& ray : raysOf(v.camera, grid)) {
    const cv::Vec3d direction = rotation * cv::Vec3d(ray.x, ray.y, 1.0);
    double t = 0;
    if (!ground.intersect(origin, direction, &t, nullptr)) continue;
    const cv::Vec3d p = origin + t * direction;
    sparse.emplace_back(p[0], p[1], p[2]);
  }
  fwtest::LocatedFrameSpec spec;
  spec.id = id;
  spec.camera = v.camera;
  spec.pose = worldFromCamera(v);
  spec.imagePath = imagePath;
  return fwtest::makeLocatedFrame(spec, sparse);
}

// A record of the view with its located frame; its image is `image`, or the rendered view
// when that is empty.
inline std::shared_ptr<ImageScaled> renderedRecord(const Ground& ground, const View& v, uint64_t id,
                                                   cv::Mat image = cv::Mat()) {
  if (image.empty()) image = renderImage(ground, v);
  return std::make_shared<ImageScaled>(
      locatedFrame(ground, v, id, "rendered_" + std::to_string(id) + ".png"), image);
}

// Depth agreement of a depth map with the ground along each pixel's ray through the record's
// rectified pose and camera, on every `step`-th pixel.
struct DepthScore {
  double covered = 0;   // share of the pixels that got a depth
  double accurate = 0;  // share of those within `tolerance` of the true depth
  int negative = 0;     // depths at or below 0 (must never be written)
};

inline DepthScore scoreDepth(const Ground& ground, const ImageScaled& record, int step,
                             double tolerance = 0.005) {
  DepthScore score;
  const cv::Matx33d K(record.K.data());
  const cv::Matx33d Kinv = K.inv();
  const fw::Matrix3 m = fw::quaternionToMatrix(record.pose.q);
  const cv::Matx33d rotation(m.data());
  const cv::Vec3d origin(record.pose.t.x, record.pose.t.y, record.pose.t.z);
  int pixels = 0, covered = 0, accurate = 0;
  for (int r = 0; r < record.depth.rows; r += step)
    for (int c = 0; c < record.depth.cols; c += step) {
      ++pixels;
      const float z = record.depth.at<float>(r, c);
      if (z == 0) continue;
      if (z < 0) ++score.negative;
      ++covered;
      double t = 0;
      if (ground.intersect(origin, rotation * (Kinv * cv::Vec3d(c, r, 1.0)), &t, nullptr) &&
          std::abs(z - t) <= tolerance * t)
        ++accurate;
    }
  score.covered = double(covered) / pixels;
  score.accurate = covered ? double(accurate) / covered : 0.0;
  return score;
}

}  // namespace densetest
