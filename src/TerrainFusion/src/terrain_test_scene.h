#pragma once

// Frames of the synthetic scene for the terrain node's tests: located frames with
// ECEF poses (or scene-ENU poses for local reconstructions), their image as a PNG file,
// key points from fwtest::makeLocatedFrame and dense points from the rendered depth.

#include "framework/geodesy.h"
#include "framework/located_frame_for_tests.h"
#include "tools/example_flight.h"
#include "tools/geo_frame.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tftest {

struct SceneFrame {
  std::shared_ptr<fw::MapFrame> frame;
  std::vector<pi::Point3d> points;  // dense points in the frame's world
  flight::CameraPlacement placement;
  flight::RenderedView view;  // the rendering the frame was made from
};

// OpenCV synchronises in code ThreadSanitizer cannot see: it hands loop bodies to TBB workers,
// and matrix expressions share a lazily made singleton. Under it loop bodies run on the
// caller, and the singleton is made here, before any terrain worker starts.
inline void prepareOpenCvForThreadSanitizer() {
#if defined(__SANITIZE_THREAD__)
  cv::setNumThreads(1);
  const cv::Mat warmUp = cv::Mat::zeros(1, 1, CV_8U);
#endif
}

// The example flight's scene, built once for the whole test binary.
inline const flight::ExampleFlight& exampleFlight() {
  static const flight::ExampleFlight flight = [] {
    prepareOpenCvForThreadSanitizer();
    flight::ExampleFlightOptions options;
    options.flight.attitude_jitter = 0.0;
    options.flight.height_jitter = 0.0;
    options.flight.strips = 1;
    options.flight.frames_per_strip = 3;
    return flight::makeExampleFlight(options);
  }();
  return flight;
}

// Scene ENU -> ECEF at the take-off point.
inline cv::Vec3d ecefOfScene(const cv::Vec3d& enu) {
  const flight::FlightOptions& o = exampleFlight().plan.options;
  return flight::ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude) +
         flight::ecefFromEnu(o.latitude, o.longitude) * enu;
}

// Scene ENU of a geodetic position.
inline cv::Vec3d sceneOfGeodetic(double latitude, double longitude, double height) {
  const flight::FlightOptions& o = exampleFlight().plan.options;
  return flight::ecefFromEnu(o.latitude, o.longitude).t() *
         (flight::ecefFromGeodetic(latitude, longitude, height) -
          flight::ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude));
}

struct FrameRequest {
  uint64_t id = 1;
  cv::Vec3d position{0, 0, 100};   // scene ENU of the camera
  double yaw = 0.0;                // degrees, nadir view
  flight::PinholeCamera camera;    // defaults: 1000 x 750, fx 850
  bool ecef = true;                // world = ECEF, else world = scene ENU (local)
  std::vector<double> distortion;  // k1, k2, p1, p2, k3 for an 11-parameter camera
  int pointStep = 2;               // dense point every n-th pixel
  double poseScale = 1.0;          // scale stored with the pose (units of the camera height)
  std::filesystem::path folder;
  // The rendering of an earlier frame of the same camera and placement; rendered when empty.
  flight::RenderedView view;
};

inline SceneFrame makeSceneFrame(const FrameRequest& request) {
  const flight::ExampleFlight& flight = exampleFlight();
  SceneFrame out;
  out.placement.enu_from_camera = flight::enuFromCamera(-90.0, request.yaw, 0.0);
  out.placement.position = request.position;
  out.view = request.view.image.empty()
                 ? flight::renderView(*flight.scene, request.camera, out.placement)
                 : request.view;
  const flight::RenderedView& view = out.view;
  const flight::FlightOptions& o = flight.plan.options;
  const cv::Matx33d worldFromScene =
      request.ecef ? flight::ecefFromEnu(o.latitude, o.longitude) : cv::Matx33d::eye();
  const auto world = [&](const cv::Vec3d& enu) {
    const cv::Vec3d w = request.ecef ? ecefOfScene(enu) : enu;
    return pi::Point3d(w[0], w[1], w[2]);
  };
  const flight::PinholeCamera& c = request.camera;
  std::vector<pi::Point3d> keyPoints;
  for (int r = 0; r < view.depth.rows; ++r) {
    for (int col = 0; col < view.depth.cols; ++col) {
      const float d = view.depth.at<float>(r, col);
      if (!(d > 0.0f)) continue;
      // The ray the lens images at the pixel, so that a distorted view's points lie where
      // its pixels see them.
      const cv::Vec3d ray = flight::rayThrough(c, col, r) * d;
      const cv::Vec3d enu = out.placement.position + out.placement.enu_from_camera * ray;
      if (r % request.pointStep == 0 && col % request.pointStep == 0)
        out.points.push_back(world(enu));
      if (r % 37 == 5 && col % 37 == 5) keyPoints.push_back(world(enu));
    }
  }
  const std::string path =
      (request.folder / ("frame_" + std::to_string(request.id) + ".png")).string();
  cv::imwrite(path, view.image);

  fwtest::LocatedFrameSpec spec;
  spec.id = request.id;
  spec.camera = {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy};
  spec.camera.insert(spec.camera.end(), request.distortion.begin(), request.distortion.end());
  const cv::Vec3d geodetic = flight::geodeticFromEcef(ecefOfScene(request.position));
  spec.gps = {geodetic[1], geodetic[0], geodetic[2], 0.02, 0.02, 0.02, 100, 1, -90, 0, 0, 1, 1, 1};
  const cv::Matx33d r = worldFromScene * out.placement.enu_from_camera;
  fw::Quaternion q;
  fw::quaternionFromMatrix(
      fw::Matrix3{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)},
      q);
  spec.pose = SE3(q, world(request.position));
  spec.imagePath = path;
  out.frame = fwtest::makeLocatedFrame(spec, keyPoints);
  out.frame->setPose(Sim3(spec.pose.q, spec.pose.t, request.poseScale));
  return out;
}

}  // namespace tftest

namespace tftest {

// A GPS frame `east` metres east of the take-off point along its parallel, 100 m above the
// take-off ground, whose key points lie on the ellipsoid at ground height below it.
inline std::shared_ptr<fw::MapFrame> placementFrame(double east, uint64_t id = 100) {
  const flight::FlightOptions& o = exampleFlight().plan.options;
  const double degreesPerMetre = 180.0 / (M_PI * 6378137.0 * std::cos(o.latitude * M_PI / 180.0));
  const double lon = o.longitude + east * degreesPerMetre;
  const cv::Matx33d ecefFromCamera =
      flight::ecefFromEnu(o.latitude, lon) * flight::enuFromCamera(-90.0, 0.0, 0.0);
  const cv::Vec3d camera = flight::ecefFromGeodetic(o.latitude, lon, o.ground_altitude + 100.0);
  std::vector<pi::Point3d> ground;
  for (int i = -5; i <= 5; ++i) {
    for (int j = -5; j <= 5; ++j) {
      const cv::Vec3d p =
          flight::ecefFromGeodetic(o.latitude + i * 4.0 * degreesPerMetre,
                                   lon + j * 4.0 * degreesPerMetre, o.ground_altitude);
      ground.emplace_back(p[0], p[1], p[2]);
    }
  }
  fwtest::LocatedFrameSpec spec;
  spec.id = id;
  spec.camera = {1000, 750, 850, 850, 499.5, 374.5};
  spec.gps = {lon, o.latitude, o.ground_altitude + 100.0, 0.02, 0.02, 0.02, 100, 1, -90, 0, 0, 1,
              1,   1};
  const cv::Matx33d& r = ecefFromCamera;
  fw::Quaternion q;
  fw::quaternionFromMatrix(
      fw::Matrix3{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)},
      q);
  spec.pose = SE3(q, pi::Point3d(camera[0], camera[1], camera[2]));
  return fwtest::makeLocatedFrame(spec, ground);
}

}  // namespace tftest

#include "src/TerrainFusion/src/TerrainFusion.h"

#include <nlohmann/json.hpp>

namespace tftest {

// A node (of `Node`, TerrainFusion or a test's kind of it) working in `folder`; `extra` is
// merged into its configuration.
template <typename Node = TerrainFusion>
std::shared_ptr<TerrainFusion> makeNode(const std::filesystem::path& folder,
                                        const nlohmann::json& extra = nlohmann::json::object(),
                                        zel::Chain* chain = nullptr) {
  nlohmann::json config = {{"work_dir", folder.string()},
                           {"dom", nlohmann::json::object()},
                           {"dsm", nlohmann::json::object()}};
  config.merge_patch(extra);
  return std::make_shared<Node>(config.dump(), chain);
}

}  // namespace tftest
