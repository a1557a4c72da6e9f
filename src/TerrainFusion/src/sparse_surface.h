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

// World points of the surface a frame's depth samples span: the samples themselves and, every
// `step` image pixels, the depth interpolated linearly inside the triangles of their Delaunay
// triangulation in the image. A few hundred key points thus give a height to every DSM cell
// between them, not only to the cells they fall in. Triangles with an edge longer than a
// quarter of the image bridge ground no key point saw and are left out. Samples outside the
// camera's image are ignored.
std::vector<pi::Point3d> sparseSurface(const std::vector<DepthSample>& samples,
                                       const fw::Camera& camera, const SE3& pose, int step);

// The part of a frame's sparse surface (world points) that its dense points (world points)
// leave bare: the surface points whose image pixel lies at least `reach` pixels from every
// pixel a dense point of the frame's view falls on. Where stereo matched, its heights stand
// alone; where it did not (ground the pair partner never saw, texture the matcher gave up
// on), the sparse surface fills in.
std::vector<pi::Point3d> bareSurface(const std::vector<pi::Point3d>& surface,
                                     const std::vector<pi::Point3d>& dense,
                                     const fw::Camera& camera, const SE3& pose, int reach);
