#include "src/TerrainFusion/src/sparse_surface.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kLongestEdgeShare = 0.25;

// Rays of image positions as `camera` unprojects them. A camera without distortion (a
// pinhole, or the OpenCV model with every coefficient 0) takes its linear rule here, with the
// camera's own arithmetic and so the same bits: a frame's surface unprojects hundreds of
// thousands of grid points, and the OpenCV model's undistortion iterations change nothing
// there but cost most of the surface's time.
class Rays {
 public:
  explicit Rays(const fw::Camera& camera) : camera_(camera) {
    const std::string type = camera.typeName();
    const std::vector<double> p = camera.getParameters();
    linear_ = (type == "PinHole" && p.size() == 6) ||
              (type == "OpenCV" && p.size() == 11 &&
               std::all_of(p.begin() + 6, p.end(), [](double k) { return k == 0.0; }));
    if (!linear_) return;
    fxInverse_ = 1.0 / p[2];
    fyInverse_ = 1.0 / p[3];
    cx_ = p[4];
    cy_ = p[5];
  }

  pi::Point3d operator()(double x, double y) const {
    if (linear_) return {(x - cx_) * fxInverse_, (y - cy_) * fyInverse_, 1.0};
    return camera_.UnProject(fw::Point2d(x, y));
  }

 private:
  const fw::Camera& camera_;
  bool linear_ = false;
  double fxInverse_ = 0.0, fyInverse_ = 0.0, cx_ = 0.0, cy_ = 0.0;
};

pi::Point3d worldPoint(const Rays& rays, const SE3& pose, double x, double y, double depth) {
  const pi::Point3d ray = rays(x, y);
  return pose.transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, ray.z * depth));
}

}  // namespace

std::vector<pi::Point3d> sparseSurface(const std::vector<DepthSample>& samples,
                                       const fw::Camera& camera, const SE3& pose, int step,
                                       const DenseCover& bare) {
  std::vector<pi::Point3d> points;
  const int width = camera.width(), height = camera.height();
  if (width < 1 || height < 1 || step < 1) return points;
  const cv::Rect2f image(0.0f, 0.0f, float(width), float(height));
  const Rays rays(camera);
  cv::Subdiv2D triangulation(cv::Rect(0, 0, width, height));
  std::map<std::pair<float, float>, double> depthAt;
  for (const DepthSample& s : samples) {
    if (!image.contains(s.pixel) || !(s.depth > 0.0) || !std::isfinite(s.depth)) continue;
    if (!depthAt.emplace(std::make_pair(s.pixel.x, s.pixel.y), s.depth).second) continue;
    triangulation.insert(s.pixel);
    if (!bare.covers(s.pixel.x, s.pixel.y))
      points.push_back(worldPoint(rays, pose, s.pixel.x, s.pixel.y, s.depth));
  }
  if (depthAt.size() < 3) return points;
  std::vector<cv::Vec6f> triangles;
  triangulation.getTriangleList(triangles);
  const double longest = kLongestEdgeShare * std::max(width, height);
  for (const cv::Vec6f& t : triangles) {
    const cv::Point2d a(t[0], t[1]), b(t[2], t[3]), c(t[4], t[5]);
    const auto da = depthAt.find({t[0], t[1]}), db = depthAt.find({t[2], t[3]}),
               dc = depthAt.find({t[4], t[5]});
    // The triangulation's own outer vertices carry no depth.
    if (da == depthAt.end() || db == depthAt.end() || dc == depthAt.end()) continue;
    if (cv::norm(a - b) > longest || cv::norm(b - c) > longest || cv::norm(c - a) > longest)
      continue;
    const double det = (b.y - c.y) * (a.x - c.x) + (c.x - b.x) * (a.y - c.y);
    if (!(std::fabs(det) > 1e-9)) continue;
    const int x0 = int(std::ceil(std::min({a.x, b.x, c.x}) / step)) * step;
    const int y0 = int(std::ceil(std::min({a.y, b.y, c.y}) / step)) * step;
    const double x1 = std::max({a.x, b.x, c.x}), y1 = std::max({a.y, b.y, c.y});
    for (int y = y0; y <= y1; y += step) {
      for (int x = x0; x <= x1; x += step) {
        if (bare.covers(x, y)) continue;
        const double wa = ((b.y - c.y) * (x - c.x) + (c.x - b.x) * (y - c.y)) / det;
        const double wb = ((c.y - a.y) * (x - c.x) + (a.x - c.x) * (y - c.y)) / det;
        const double wc = 1.0 - wa - wb;
        if (wa < 0.0 || wb < 0.0 || wc < 0.0) continue;
        const double depth = wa * da->second + wb * db->second + wc * dc->second;
        points.push_back(worldPoint(rays, pose, x, y, depth));
      }
    }
  }
  return points;
}

DenseCover::DenseCover(const std::vector<pi::Point3d>& dense, const fw::Camera& camera,
                       const SE3& pose, int reach)
    : reach_(reach), width_(camera.width()), height_(camera.height()) {
  if (width_ < 1 || height_ < 1 || reach < 1 || dense.empty()) return;
  cells_ =
      cv::Mat((height_ + reach - 1) / reach, (width_ + reach - 1) / reach, CV_8U, cv::Scalar(0));
  const SE3 cameraFromWorld = pose.inverse();
  for (const pi::Point3d& world : dense) {
    const pi::Point3d p = cameraFromWorld.transformPoint(world);
    if (!(p.z > 0.0)) continue;
    const fw::Point2d pixel = camera.Project(p);
    if (!(pixel.x >= 0.0 && pixel.y >= 0.0 && pixel.x < width_ && pixel.y < height_)) continue;
    cells_.at<uchar>(int(pixel.y) / reach, int(pixel.x) / reach) = 255;
  }
  cv::dilate(cells_, cells_, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
}
