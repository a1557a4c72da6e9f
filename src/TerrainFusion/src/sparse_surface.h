#pragma once

#include "framework/camera.h"
#include "framework/pose.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <vector>

// A frame's sparse map points as its own image sees them: where a key point lies and how far
// in front of the camera its map point is.
struct DepthSample {
  cv::Point2f pixel;
  double depth = 0.0;
};

// The image cells of `reach` pixels that a frame's dense points (world points) fall on,
// widened by one cell: every pixel within `reach` pixels of a dense point lies in a covered
// cell. Where stereo matched, its heights stand alone; where it did not (ground the pair
// partner never saw, texture the matcher gave up on), the sparse surface fills in.
class DenseCover {
 public:
  DenseCover() = default;  // covers nothing
  DenseCover(const std::vector<pi::Point3d>& dense, const fw::Camera& camera, const SE3& pose,
             int reach);

  // The cover of this cover's dense points and `more` together, with this cover's reach. The
  // widening by one cell joins as the cells do, so only `more` is projected.
  DenseCover joinedWith(const std::vector<pi::Point3d>& more, const fw::Camera& camera,
                        const SE3& pose) const;

  // Whether image position (x, y) lies in a covered cell; never outside the image.
  bool covers(double x, double y) const {
    // The pixel pointer, not empty(): this runs for each of a surface's grid points, and
    // empty() is not inlined.
    if (!cells_.data || !(x >= 0.0 && y >= 0.0 && x < width_ && y < height_)) return false;
    return cells_.at<uchar>(cellOf(int(y)), cellOf(int(x))) != 0;
  }

 private:
  // p / reach_ for 0 <= p < 2^24: by a product, mended where its rounding falls short (an
  // integer division for each of a surface's hundreds of thousands of grid points costs more
  // than the rest of the look-up).
  int cellOf(int p) const {
    const int cell = int(float(p) * perReach_);
    return (cell + 1) * reach_ <= p ? cell + 1 : cell * reach_ > p ? cell - 1 : cell;
  }

  cv::Mat cells_;  // 8-bit, non-zero where covered
  int reach_ = 1, width_ = 0, height_ = 0;
  float perReach_ = 1.0f;  // 1 / reach_
};

// World points of the surface a frame's depth samples span: the samples themselves and, every
// `step` image pixels, the depth interpolated linearly inside the triangles of their Delaunay
// triangulation in the image. A few hundred key points thus give a height to every DSM cell
// between them, not only to the cells they fall in. Triangles with an edge longer than a
// quarter of the image bridge ground no key point saw and are left out. Samples outside the
// camera's image are ignored, and so are the points whose pixel `bare` covers: only the part
// of the surface the dense points leave bare is made, none of it unprojected to be dropped.
//
// With a `relief` limit, triangles whose corners rise more steeply than it allows between any
// two of them are left out too: they join a roof's key points to the ground's, or a bank's to
// a ditch's, and their flat faces put ramps onto the open ground between.
struct SurfaceRelief {
  cv::Vec3d up{0.0, 0.0, 0.0};  // the world's up, a unit vector
  double maxSlope = 0.0;        // rise over run; 0: no limit
};
std::vector<pi::Point3d> sparseSurface(const std::vector<DepthSample>& samples,
                                       const fw::Camera& camera, const SE3& pose, int step,
                                       const DenseCover& bare = DenseCover(),
                                       const SurfaceRelief& relief = SurfaceRelief());

// A frame's sparse surface over the ground `bare` leaves bare, from all its triangles, each
// point kept with its image position and whether its triangle is too steep for `relief`. A
// second surface over the ground a wider cover leaves bare, from the triangles within the
// relief, is then drawn from it without triangulating and scanning the grid again.
class SurfaceDraft {
 public:
  SurfaceDraft(const std::vector<DepthSample>& samples, const fw::Camera& camera, const SE3& pose,
               int step, const DenseCover& bare, const SurfaceRelief& relief);

  // sparseSurface(samples, camera, pose, step, bare).
  const std::vector<pi::Point3d>& points() const { return points_; }

  // sparseSurface(samples, camera, pose, step, wider, relief), point for point, for a cover
  // `wider` that covers at least all `bare` covers.
  std::vector<pi::Point3d> narrowed(const DenseCover& wider) const;

 private:
  std::vector<pi::Point3d> points_;
  std::vector<cv::Point2f> pixels_;
  std::vector<char> steep_;
};

// The `dense` world points whose depth lies within `tolerance` metres of the depth of
// `surface` (a sparse surface sampled every `step` image pixels) where the frame's image sees
// them both, or of the surface's nearest depth where they lie a little beyond it (at the
// image's edges, outside its key points' hull), and those the surface lies too far from to
// judge. The frame's map points were matched in many images, so they tell the ground's level
// where a single pair's matching slipped.
std::vector<pi::Point3d> pointsNearSurface(const std::vector<pi::Point3d>& dense,
                                           const std::vector<pi::Point3d>& surface,
                                           const fw::Camera& camera, const SE3& pose, int step,
                                           double tolerance);
