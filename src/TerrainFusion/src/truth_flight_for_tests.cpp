#include "src/TerrainFusion/src/truth_flight_for_tests.h"

#include "framework/located_frame_for_tests.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "tools/geo_frame.h"

#include <opencv2/imgcodecs.hpp>

#include <stdexcept>

namespace tftest {
namespace {

fw::Quaternion quaternionOf(const cv::Matx33d& r) {
  fw::Matrix3 m;
  for (int i = 0; i < 9; ++i) m[i] = r.val[i];
  fw::Quaternion q;
  fw::quaternionFromMatrix(m, q);
  return q;
}

pi::Point3d toPoint(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }

}  // namespace

TruthFlight::TruthFlight(const TruthFlightOptions& options, const std::filesystem::path& folder)
    : options_(options) {
  prepareOpenCvForThreadSanitizer();
  flight::ExampleFlightOptions o;
  o.flight.strips = options.strips;
  o.flight.frames_per_strip = options.framesPerStrip;
  o.flight.height = options.flightHeight;
  o.flight.latitude = options.latitude;
  o.flight.longitude = options.longitude;
  const double shrink = options.width / double(o.flight.camera.width);
  o.flight.camera.width = options.width;
  o.flight.camera.height = options.height;
  o.flight.camera.fx *= shrink;
  o.flight.camera.fy *= shrink;
  o.texel = options.texel;
  flight_ = flight::makeExampleFlight(o);
  std::filesystem::create_directories(folder);

  const auto& camera = flight_.plan.options.camera;
  const cv::Vec3d origin = takeOff();
  const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(origin[0], origin[1]);
  const cv::Vec3d ecefOrigin = flight::ecefFromGeodetic(origin[0], origin[1], origin[2]);
  for (size_t i = 0; i < size(); ++i) {
    const auto path = folder / ("frame_" + std::to_string(i) + ".png");
    if (!cv::imwrite(path.string(), flight::renderFrame(flight_, i).image)) {
      throw std::runtime_error("cannot write " + path.string());
    }
    images_.push_back(path);
    const auto& placement = flight_.plan.frames[i].placement;
    const auto hit = [&](double u, double v, flight::SurfaceHit* h) {
      const cv::Vec3d ray((u - camera.cx) / camera.fx, (v - camera.cy) / camera.fy, 1.0);
      return scene().intersect(placement.position, placement.enu_from_camera * ray, h);
    };
    std::vector<pi::Point3d> points, keyPoints;
    for (int v = 0; v + 1 < camera.height; v += 2) {
      for (int u = 0; u + 1 < camera.width; u += 2) {
        flight::SurfaceHit h;
        if (!hit(u + 0.5, v + 0.5, &h)) continue;
        points.push_back(toPoint(ecefOrigin + ecefFromEnu * h.point));
        if (points.size() % options.keyPointStride == 0) keyPoints.push_back(points.back());
      }
    }
    std::vector<cv::Point2d> corners;
    for (const cv::Point2d c :
         {cv::Point2d(0, 0), cv::Point2d(camera.width - 1, 0),
          cv::Point2d(camera.width - 1, camera.height - 1), cv::Point2d(0, camera.height - 1)}) {
      flight::SurfaceHit h;
      if (hit(c.x, c.y, &h)) corners.emplace_back(h.point[0], h.point[1]);
    }
    points_.push_back(std::move(points));
    keyPoints_.push_back(std::move(keyPoints));
    footprints_.push_back(std::move(corners));
  }
}

cv::Vec3d TruthFlight::takeOff() const {
  const auto& o = flight_.plan.options;
  return {o.latitude, o.longitude, o.ground_altitude};
}

cv::Vec3d TruthFlight::enuOf(double latitude, double longitude, double height) const {
  const cv::Vec3d origin = takeOff();
  const cv::Vec3d d = flight::ecefFromGeodetic(latitude, longitude, height) -
                      flight::ecefFromGeodetic(origin[0], origin[1], origin[2]);
  return flight::ecefFromEnu(origin[0], origin[1]).t() * d;
}

TruthFrame TruthFlight::frame(size_t index) const {
  const auto& planned = flight_.plan.frames.at(index);
  const auto& camera = flight_.plan.options.camera;
  const cv::Vec3d origin = takeOff();
  const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(origin[0], origin[1]);
  const cv::Vec3d ecefOrigin = flight::ecefFromGeodetic(origin[0], origin[1], origin[2]);

  fwtest::LocatedFrameSpec spec;
  spec.id = index + 1;
  spec.timestamp = planned.timestamp;
  spec.camera = {double(camera.width),
                 double(camera.height),
                 camera.fx,
                 camera.fy,
                 camera.cx,
                 camera.cy,
                 0,
                 0,
                 0,
                 0,
                 0};
  const cv::Vec3d g = planned.recorded_geodetic;
  const cv::Vec3d a = planned.recorded_attitude;
  spec.gps = {g[1], g[0], g[2], 0.02, 0.02, 0.03, planned.relative_altitude,
              0.1,  a[0], a[1], a[2], 1,    1,    1};
  spec.pose = SE3(quaternionOf(ecefFromEnu * planned.placement.enu_from_camera),
                  toPoint(ecefOrigin + ecefFromEnu * planned.placement.position));
  spec.imagePath = images_.at(index).string();
  return {fwtest::makeLocatedFrame(spec, keyPoints_.at(index)), points_.at(index)};
}

sv::Var TruthFlight::pointCloudMessage(const TruthFrame& frame) {
  return sv::Var({sv::Var(frame.frame), sv::Var(frame.points)});
}

}  // namespace tftest
