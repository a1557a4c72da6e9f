#include "src/TerrainFusion/src/sparse_surface.h"

#include "framework/camera_parameters.h"
#include "src/TerrainFusion/src/nearest_known.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr double kLongestEdgeShare = 0.25;

// Image pixels beyond the sparse surface within which a dense point is still judged against
// the surface's nearest depth, and the rise or fall of the ground over that distance allowed
// on top of the tolerance (a share of the distance on the ground): a pair's slips at the
// image's edges lie tens of metres off, farmland rises by a few within a frame.
constexpr int kLevelReach = 256;
constexpr double kLevelSlope = 0.1;

// Camera pixels between the nodes at which grid points' rays are unprojected exactly; the
// rays between are interpolated bilinearly. Over this span a lens's distortion bends a ray
// from the interpolated one by a few hundredths of a pixel for a strong wide-angle lens, by
// less than a hundredth for a survey camera's focal length, while the exact model (the
// OpenCV one iterates its undistortion with a division each time) cost most of the
// surface's time.
constexpr int kRayNodeSpacing = 16;

// Directions in the world of the grid points' rays, from nodes every kRayNodeSpacing pixels,
// each unprojected by the camera and turned by the pose once, when first needed: a grid
// point then lies at the camera's position plus its depth times its direction.
class RayLattice {
 public:
  RayLattice(const fw::Camera& camera, const SE3& pose, int width, int height)
      : camera_(camera),
        pose_(pose),
        columns_(width / kRayNodeSpacing + 2),
        rows_(height / kRayNodeSpacing + 2),
        nodes_(size_t(columns_) * rows_),
        known_(nodes_.size(), 0) {}

  // The rays along image row y (0 <= y <= height), read at growing x: each lattice cell's
  // two sides are interpolated between the node rows once, then across for each x.
  class Row {
   public:
    Row(RayLattice& lattice, double y) : lattice_(lattice) {
      const double v = y / kRayNodeSpacing;
      j_ = std::min(int(v), lattice.rows_ - 2);
      b_ = v - j_;
    }

    // The world point at `depth` on the ray of image position (x, y), 0 <= x <= width.
    pi::Point3d at(double x, double depth) {
      const double u = x / kRayNodeSpacing;
      const int i = std::min(int(u), lattice_.columns_ - 2);
      if (i != i_) {
        left_ = down(i);
        right_ = down(i + 1);
        i_ = i;
      }
      const double a = u - i;
      const SE3& pose = lattice_.pose_;
      return {pose.t.x + depth * ((1.0 - a) * left_.x + a * right_.x),
              pose.t.y + depth * ((1.0 - a) * left_.y + a * right_.y),
              pose.t.z + depth * ((1.0 - a) * left_.z + a * right_.z)};
    }

   private:
    // The ray at lattice column i on the row, between the node rows above and below.
    pi::Point3d down(int i) {
      const pi::Point3d &top = lattice_.node(i, j_), &bottom = lattice_.node(i, j_ + 1);
      return {(1.0 - b_) * top.x + b_ * bottom.x, (1.0 - b_) * top.y + b_ * bottom.y,
              (1.0 - b_) * top.z + b_ * bottom.z};
    }

    RayLattice& lattice_;
    int j_ = 0, i_ = -1;
    double b_ = 0.0;
    pi::Point3d left_, right_;
  };

 private:
  const pi::Point3d& node(int i, int j) {
    const size_t k = size_t(j) * columns_ + i;
    if (!known_[k]) {
      const pi::Point3d ray =
          camera_.UnProject(fw::Point2d(double(i) * kRayNodeSpacing, double(j) * kRayNodeSpacing));
      nodes_[k] = fw::transformPoint(pose_.q, ray);
      known_[k] = 1;
    }
    return nodes_[k];
  }

  const fw::Camera& camera_;
  const SE3& pose_;
  int columns_, rows_;
  std::vector<pi::Point3d> nodes_;
  std::vector<char> known_;
};

pi::Point3d worldPoint(const pi::Point3d& ray, const SE3& pose, double depth) {
  return pose.transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, ray.z * depth));
}

// Narrows [first, last] to where a weight changing by `slope` per pixel along a row, `atZero`
// at x = 0, may be non-negative, widened by `slack` pixels: the weights are still tested at
// each point, the span only spares testing the points far outside. A flat weight leaves the
// span to those tests.
void narrowToNonNegative(double slope, double atZero, double slack, double& first, double& last) {
  if (slope > 0.0) first = std::max(first, -atZero / slope - slack);
  if (slope < 0.0) last = std::min(last, -atZero / slope + slack);
}

// A triangle of the sparse surface: its corners in the image and their depths.
struct SurfaceTriangle {
  cv::Point2d a, b, c;
  double depthA, depthB, depthC;
};

// The grid points every `step` pixels inside triangle t that `bare` leaves bare, row by row
// and along each row by growing x, depths interpolated linearly; their image positions go to
// `pixels` if given.
void addGridPoints(const SurfaceTriangle& t, double inverseDet, int step, const DenseCover& bare,
                   RayLattice& rays, std::vector<pi::Point3d>& points,
                   std::vector<cv::Point2f>* pixels) {
  const cv::Point2d &a = t.a, &b = t.b, &c = t.c;
  const int x0 = int(std::ceil(std::min({a.x, b.x, c.x}) / step)) * step;
  const int y0 = int(std::ceil(std::min({a.y, b.y, c.y}) / step)) * step;
  const double x1 = std::max({a.x, b.x, c.x}), y1 = std::max({a.y, b.y, c.y});
  // Along a row the weights are linear in x; their zeros, found to far better than a pixel,
  // bound the points worth testing.
  const double slopeA = (b.y - c.y) * inverseDet, slopeB = (c.y - a.y) * inverseDet;
  const double slack = step + 1.0;
  for (int y = y0; y <= y1; y += step) {
    const double atZeroA = ((b.y - c.y) * -c.x + (c.x - b.x) * (y - c.y)) * inverseDet;
    const double atZeroB = ((c.y - a.y) * -c.x + (a.x - c.x) * (y - c.y)) * inverseDet;
    double first = x0, last = x1;
    narrowToNonNegative(slopeA, atZeroA, slack, first, last);
    narrowToNonNegative(slopeB, atZeroB, slack, first, last);
    narrowToNonNegative((a.y - b.y) * inverseDet, 1.0 - atZeroA - atZeroB, slack, first, last);
    if (first > last) continue;
    const int start = x0 + std::max(0, int(std::ceil((first - x0) / step)) * step);
    RayLattice::Row row(rays, y);
    for (int x = start; x <= last; x += step) {
      if (bare.covers(x, y)) continue;
      const double wa = ((b.y - c.y) * (x - c.x) + (c.x - b.x) * (y - c.y)) * inverseDet;
      const double wb = ((c.y - a.y) * (x - c.x) + (a.x - c.x) * (y - c.y)) * inverseDet;
      const double wc = 1.0 - wa - wb;
      if (wa < 0.0 || wb < 0.0 || wc < 0.0) continue;
      const double depth = wa * t.depthA + wb * t.depthB + wc * t.depthC;
      points.push_back(row.at(x, depth));
      if (pixels) pixels->emplace_back(float(x), float(y));
    }
  }
}

// The depth of the nearest cell of `depths` (0 where the surface left a cell empty) within
// `reach` cells of each cell, and in `distance` how many cells away it lies: beyond the hull
// of its key points, at the image's edges and in the gaps its long triangles leave, the
// surface's nearest depth still tells the ground's level, while a slip of a pair's matching
// lies metres off any level nearby. 0 where no depth lies within reach.
cv::Mat nearestLevels(const cv::Mat& depths, int reach, cv::Mat& distance) {
  cv::Mat levels = nearestKnown(depths, depths > 0.0f, distance);
  levels.setTo(cv::Scalar(0), distance > float(reach));
  return levels;
}

// A triangle's corner in the world.
cv::Vec3d corner(const fw::Camera& camera, const SE3& pose, const cv::Point2d& pixel,
                 double depth) {
  const pi::Point3d p = worldPoint(camera.UnProject(fw::Point2d(pixel.x, pixel.y)), pose, depth);
  return {p.x, p.y, p.z};
}

// Whether any two of the corners rise along relief.up more steeply than relief.maxSlope.
bool tooSteep(const std::array<cv::Vec3d, 3>& corners, const SurfaceRelief& relief) {
  for (int i = 0; i < 3; ++i) {
    const cv::Vec3d d = corners[(i + 1) % 3] - corners[i];
    const double rise = d.dot(relief.up);
    const double run = cv::norm(d - rise * relief.up);
    if (std::fabs(rise) > relief.maxSlope * run) return true;
  }
  return false;
}

// Where a surface's points came from: their image positions, and for each, whether the
// triangle it lies in rises more steeply than the relief allows.
struct SurfaceOrigins {
  std::vector<cv::Point2f> pixels;
  std::vector<char> steep;
};

// The surface of sparseSurface(). With `origins`, triangles too steep for `relief` are kept
// and marked there instead of left out.
std::vector<pi::Point3d> scanSurface(const std::vector<DepthSample>& samples,
                                     const fw::Camera& camera, const SE3& pose, int step,
                                     const DenseCover& bare, const SurfaceRelief& relief,
                                     SurfaceOrigins* origins) {
  std::vector<pi::Point3d> points;
  const int width = camera.width(), height = camera.height();
  if (width < 1 || height < 1 || step < 1) return points;
  std::vector<cv::Point2f>* pixels = origins ? &origins->pixels : nullptr;
  const cv::Rect2f image(0.0f, 0.0f, float(width), float(height));
  RayLattice rays(camera, pose, width, height);
  cv::Subdiv2D triangulation(cv::Rect(0, 0, width, height));
  std::map<std::pair<float, float>, double> depthAt;
  for (const DepthSample& s : samples) {
    if (!image.contains(s.pixel) || !(s.depth > 0.0) || !std::isfinite(s.depth)) continue;
    if (!depthAt.emplace(std::make_pair(s.pixel.x, s.pixel.y), s.depth).second) continue;
    triangulation.insert(s.pixel);
    if (bare.covers(s.pixel.x, s.pixel.y)) continue;
    points.push_back(
        worldPoint(camera.UnProject(fw::Point2d(s.pixel.x, s.pixel.y)), pose, s.depth));
    if (pixels) pixels->push_back(s.pixel);
  }
  if (origins) origins->steep.assign(points.size(), 0);
  if (depthAt.size() < 3) return points;
  std::vector<cv::Vec6f> triangles;
  triangulation.getTriangleList(triangles);
  const double longest = kLongestEdgeShare * std::max(width, height);
  struct KeptTriangle {
    SurfaceTriangle triangle;
    double inverseDet;
    bool steep;
  };
  std::vector<KeptTriangle> kept;
  double area = 0.0;
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
    const bool steep = relief.maxSlope > 0.0 && tooSteep({corner(camera, pose, a, da->second),
                                                          corner(camera, pose, b, db->second),
                                                          corner(camera, pose, c, dc->second)},
                                                         relief);
    if (steep && !origins) continue;
    kept.push_back({{a, b, c, da->second, db->second, dc->second}, 1.0 / det, steep});
    area += 0.5 * std::fabs(det);
  }
  // Room for about every grid point at once: grown by doubling instead, the hundreds of
  // thousands of points would be copied over and over into fresh pages.
  const size_t room =
      points.size() + size_t(1.05 * area / (double(step) * step)) + 16 * kept.size();
  points.reserve(room);
  if (pixels) pixels->reserve(room);
  for (const KeptTriangle& t : kept) {
    addGridPoints(t.triangle, t.inverseDet, step, bare, rays, points, pixels);
    if (origins) origins->steep.resize(points.size(), t.steep);
  }
  return points;
}

}  // namespace

std::vector<pi::Point3d> sparseSurface(const std::vector<DepthSample>& samples,
                                       const fw::Camera& camera, const SE3& pose, int step,
                                       const DenseCover& bare, const SurfaceRelief& relief) {
  return scanSurface(samples, camera, pose, step, bare, relief, nullptr);
}

SurfaceDraft::SurfaceDraft(const std::vector<DepthSample>& samples, const fw::Camera& camera,
                           const SE3& pose, int step, const DenseCover& bare,
                           const SurfaceRelief& relief) {
  SurfaceOrigins origins;
  points_ = scanSurface(samples, camera, pose, step, bare, relief, &origins);
  pixels_ = std::move(origins.pixels);
  steep_ = std::move(origins.steep);
}

std::vector<pi::Point3d> SurfaceDraft::narrowed(const DenseCover& wider) const {
  std::vector<pi::Point3d> points;
  points.reserve(points_.size());
  for (size_t i = 0; i < points_.size(); ++i) {
    if (!steep_[i] && !wider.covers(pixels_[i].x, pixels_[i].y)) points.push_back(points_[i]);
  }
  return points;
}

DenseCover::DenseCover(const std::vector<pi::Point3d>& dense, const fw::Camera& camera,
                       const SE3& pose, int reach)
    : reach_(reach), width_(camera.width()), height_(camera.height()) {
  if (width_ < 1 || height_ < 1 || reach < 1 || dense.empty()) return;
  perReach_ = 1.0f / float(reach);
  cells_ =
      cv::Mat((height_ + reach - 1) / reach, (width_ + reach - 1) / reach, CV_8U, cv::Scalar(0));
  const SE3 cameraFromWorld = pose.inverse();
  for (const pi::Point3d& world : dense) {
    const pi::Point3d p = cameraFromWorld.transformPoint(world);
    if (!(p.z > 0.0)) continue;
    const fw::Point2d pixel = camera.Project(p);
    if (!(pixel.x >= 0.0 && pixel.y >= 0.0 && pixel.x < width_ && pixel.y < height_)) continue;
    cells_.at<uchar>(cellOf(int(pixel.y)), cellOf(int(pixel.x))) = 255;
  }
  cv::dilate(cells_, cells_, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
}

DenseCover DenseCover::joinedWith(const std::vector<pi::Point3d>& more, const fw::Camera& camera,
                                  const SE3& pose) const {
  DenseCover joined(more, camera, pose, reach_);
  if (!cells_.data) return joined;
  if (!joined.cells_.data) return *this;
  joined.cells_ = cells_ | joined.cells_;
  return joined;
}

std::vector<pi::Point3d> pointsNearSurface(const std::vector<pi::Point3d>& dense,
                                           const std::vector<pi::Point3d>& surface,
                                           const fw::Camera& camera, const SE3& pose, int step,
                                           double tolerance) {
  const int width = camera.width(), height = camera.height();
  if (surface.empty() || width < 1 || height < 1 || step < 1) return dense;
  const SE3 cameraFromWorld = pose.inverse();
  // The camera-frame depth and image cell of a world point; false outside the image.
  const auto look = [&](const pi::Point3d& world, cv::Point& cell, double& depth) {
    const pi::Point3d p = cameraFromWorld.transformPoint(world);
    if (!(p.z > 0.0)) return false;
    const fw::Point2d pixel = camera.Project(p);
    if (!(pixel.x >= 0.0 && pixel.y >= 0.0 && pixel.x < width && pixel.y < height)) return false;
    cell = cv::Point(int(pixel.x) / step, int(pixel.y) / step);
    depth = p.z;
    return true;
  };
  cv::Mat depths((height + step - 1) / step, (width + step - 1) / step, CV_32F, cv::Scalar(0));
  cv::Point cell;
  double depth = 0.0;
  for (const pi::Point3d& world : surface) {
    if (look(world, cell, depth)) depths.at<float>(cell) = float(depth);
  }
  // Ground metres per image pixel at depth 1: the focal length's inverse, where the model
  // has one (pinhole and its kin: w, h, fx, ...). Without it no rise can be allowed for, and
  // points are judged only on the surface and next to it.
  const double fx = fw::CameraParameters::decode(camera.getParameters()).fx;
  const double perPixel = fx > 0.0 ? 1.0 / fx : 0.0;
  cv::Mat cellsAway;
  const cv::Mat levels = nearestLevels(depths, perPixel > 0.0 ? kLevelReach / step : 1, cellsAway);
  std::vector<pi::Point3d> kept;
  kept.reserve(dense.size());
  for (const pi::Point3d& world : dense) {
    if (look(world, cell, depth)) {
      const float level = levels.at<float>(cell);
      const double slope = kLevelSlope * cellsAway.at<float>(cell) * step * level * perPixel;
      if (level > 0.0f && std::fabs(depth - level) > tolerance + slope) continue;
    }
    kept.push_back(world);
  }
  return kept;
}
