#include "perspective_renderer.h"

#include <algorithm>
#include <cmath>

namespace flight {

cv::Vec3d rayThrough(const PinholeCamera& camera, double u, double v) {
  const double xd = (u - camera.cx) / camera.fx, yd = (v - camera.cy) / camera.fy;
  const double rd = std::hypot(xd, yd);
  if (rd == 0.0 || (camera.k1 == 0.0 && camera.k2 == 0.0)) return {xd, yd, 1.0};
  // Newton's method on the radius: r (1 + k1 r^2 + k2 r^4) = rd, from r = rd.
  double r = rd;
  for (int i = 0; i < 8; ++i) {
    const double r2 = r * r;
    const double f = r * (1.0 + r2 * (camera.k1 + r2 * camera.k2)) - rd;
    const double slope = 1.0 + r2 * (3.0 * camera.k1 + 5.0 * r2 * camera.k2);
    r -= f / slope;
  }
  return {xd * r / rd, yd * r / rd, 1.0};
}

cv::Point2d pixelOf(const PinholeCamera& camera, const cv::Vec3d& p) {
  const double x = p[0] / p[2], y = p[1] / p[2];
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (camera.k1 + r2 * camera.k2);
  return {camera.fx * x * radial + camera.cx, camera.fy * y * radial + camera.cy};
}

std::vector<cv::Point2d> imageBorder(const PinholeCamera& camera, int per_side) {
  const double right = camera.width - 1.0, bottom = camera.height - 1.0;
  std::vector<cv::Point2d> border;
  for (int side = 0; side < 4; ++side) {
    for (int k = 0; k < per_side; ++k) {
      const double s = static_cast<double>(k) / per_side;
      const cv::Point2d along[] = {{s * right, 0.0},
                                   {right, s * bottom},
                                   {(1.0 - s) * right, bottom},
                                   {0.0, (1.0 - s) * bottom}};
      border.push_back(along[side]);
    }
  }
  return border;
}

RenderedView renderView(const SyntheticScene& scene, const PinholeCamera& camera,
                        const CameraPlacement& placement) {
  RenderedView view;
  view.image.create(camera.height, camera.width, CV_8UC3);
  view.depth.create(camera.height, camera.width, CV_32FC1);
  const cv::Vec3b sky(235, 206, 135);
  cv::parallel_for_(cv::Range(0, camera.height), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r) {
      cv::Vec3b* pixels = view.image.ptr<cv::Vec3b>(r);
      float* depths = view.depth.ptr<float>(r);
      for (int c = 0; c < camera.width; ++c) {
        // The ray has unit length along the optical axis, so the ray parameter is the depth.
        const cv::Vec3d ray = rayThrough(camera, c, r);
        SurfaceHit hit;
        if (scene.intersect(placement.position, placement.enu_from_camera * ray, &hit)) {
          pixels[c] = hit.colour;
          depths[c] = static_cast<float>(hit.t);
        } else {
          pixels[c] = sky;
          depths[c] = 0.0f;
        }
      }
    }
  });
  return view;
}

void exposeImage(cv::Mat* image, double gain, double vignetting) {
  if (gain == 1.0 && vignetting == 0.0) return;
  const double cx = (image->cols - 1) / 2.0, cy = (image->rows - 1) / 2.0;
  const double corner2 = cx * cx + cy * cy;
  cv::parallel_for_(cv::Range(0, image->rows), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r) {
      cv::Vec3b* pixels = image->ptr<cv::Vec3b>(r);
      for (int c = 0; c < image->cols; ++c) {
        const double d2 = ((c - cx) * (c - cx) + (r - cy) * (r - cy)) / std::max(corner2, 1.0);
        const double light = gain * (1.0 - vignetting * d2);
        for (int k = 0; k < 3; ++k) pixels[c][k] = cv::saturate_cast<uchar>(pixels[c][k] * light);
      }
    }
  });
}

}  // namespace flight
