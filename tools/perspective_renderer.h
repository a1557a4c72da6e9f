#pragma once

#include "synthetic_scene.h"

#include <opencv2/core.hpp>

#include <vector>

// Renders the synthetic scene in true perspective through a pinhole camera whose lens may
// bend the rays radially, as a survey camera's wide lens does.
namespace flight {

struct PinholeCamera {
  int width = 1000, height = 750;
  double fx = 850.0, fy = 850.0;
  double cx = 499.5, cy = 374.5;  // pixel centres are at whole coordinates
  // Radial distortion: a ray at (x, y) = (X / Z, Y / Z) is imaged at (x, y) * (1 + k1 r^2 +
  // k2 r^4), r^2 = x^2 + y^2, before fx, fy, cx, cy are applied (k1 < 0: barrel).
  double k1 = 0.0, k2 = 0.0;
};

// Camera placement in the scene's east-north-up metres.
struct CameraPlacement {
  cv::Matx33d enu_from_camera = cv::Matx33d::eye();
  cv::Vec3d position;
};

struct RenderedView {
  cv::Mat image;  // CV_8UC3, blue-green-red
  cv::Mat depth;  // CV_32FC1, distance along the optical axis; 0 where no surface is seen
};

// The ray (X / Z, Y / Z, 1) in camera axes that the lens images at pixel (u, v).
cv::Vec3d rayThrough(const PinholeCamera& camera, double u, double v);

// The pixel at which the lens images a camera-frame point in front of it (Z > 0).
cv::Point2d pixelOf(const PinholeCamera& camera, const cv::Vec3d& camera_point);

// Points around the image border, clockwise from the top-left corner: `per_side` on each
// side, the corners among them.
std::vector<cv::Point2d> imageBorder(const PinholeCamera& camera, int per_side);

RenderedView renderView(const SyntheticScene& scene, const PinholeCamera& camera,
                        const CameraPlacement& placement);

// What the camera's electronics make of the light: the image scaled by `gain` (an exposure
// step between frames) and darkened toward its corners, where it keeps 1 - `vignetting` of
// the light (falling with the square of the distance from the centre).
void exposeImage(cv::Mat* image, double gain, double vignetting);

}  // namespace flight
