#include "perspective_renderer.h"

namespace flight {

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
        const cv::Vec3d ray((c - camera.cx) / camera.fx, (r - camera.cy) / camera.fy, 1.0);
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

}  // namespace flight
