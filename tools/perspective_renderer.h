#pragma once

#include "synthetic_scene.h"

#include <opencv2/core.hpp>

#include <vector>

// Renders the synthetic scene in true perspective through an ideal pinhole camera.
namespace flight {

struct PinholeCamera {
  int width = 1000, height = 750;
  double fx = 850.0, fy = 850.0;
  double cx = 499.5, cy = 374.5;  // pixel centres are at whole coordinates
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

// Points around the image border, clockwise from the top-left corner: `per_side` on each
// side, the corners among them.
std::vector<cv::Point2d> imageBorder(const PinholeCamera& camera, int per_side);

RenderedView renderView(const SyntheticScene& scene, const PinholeCamera& camera,
                        const CameraPlacement& placement);

}  // namespace flight
