#include "flight_plan.h"

#include "geo_frame.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace flight {
namespace {

cv::Vec3d geodeticFromEnu(const FlightOptions& o, const cv::Vec3d& enu) {
  const cv::Vec3d origin = ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude);
  return geodeticFromEcef(origin + ecefFromEnu(o.latitude, o.longitude) * enu);
}

}  // namespace

CameraPlacement placeCamera(const FlightOptions& options, const cv::Vec3d& geodetic,
                            const cv::Vec3d& attitude) {
  const cv::Vec3d origin =
      ecefFromGeodetic(options.latitude, options.longitude, options.ground_altitude);
  const cv::Matx33d ecef_from_scene = ecefFromEnu(options.latitude, options.longitude);
  CameraPlacement placement;
  placement.position =
      ecef_from_scene.t() * (ecefFromGeodetic(geodetic[0], geodetic[1], geodetic[2]) - origin);
  placement.enu_from_camera = ecef_from_scene.t() * ecefFromEnu(geodetic[0], geodetic[1]) *
                              enuFromCamera(attitude[0], attitude[1], attitude[2]);
  return placement;
}

PinholeCamera recordedCamera(const FlightOptions& options) {
  PinholeCamera camera = options.camera;
  camera.fx *= 1.0 + options.focal_error;
  camera.fy *= 1.0 + options.focal_error;
  return camera;
}

FlightPlan planFlight(const FlightOptions& options) {
  if (!(std::abs(options.focal_error) < 0.5)) throw std::invalid_argument("invalid flight options");
  if (options.strips < 1 || options.frames_per_strip < 1 || options.height <= 0.0 ||
      options.camera.width < 2 || options.camera.height < 2 || options.camera.fx <= 0.0 ||
      options.camera.fy <= 0.0 || options.forward_overlap < 0.0 || options.forward_overlap >= 1.0 ||
      options.side_overlap < 0.0 || options.side_overlap >= 1.0) {
    throw std::invalid_argument("invalid flight options");
  }
  FlightPlan plan;
  plan.options = options;
  plan.options.camera.cx = (options.camera.width - 1) / 2.0;
  plan.options.camera.cy = (options.camera.height - 1) / 2.0;
  const PinholeCamera& cam = plan.options.camera;
  // With the yaw along the track the image rows run along the track.
  const double along = (1.0 - options.forward_overlap) * cam.height * options.height / cam.fy;
  const double across = (1.0 - options.side_overlap) * cam.width * options.height / cam.fx;
  cv::RNG rng(options.seed);
  double east_lo = 1e9, east_hi = -1e9, north_lo = 1e9, north_hi = -1e9;
  for (int s = 0; s < options.strips; ++s) {
    const double east = (s - (options.strips - 1) / 2.0) * across;
    const bool northbound = s % 2 == 0;
    for (int i = 0; i < options.frames_per_strip; ++i) {
      const int k = northbound ? i : options.frames_per_strip - 1 - i;
      const double north = (k - (options.frames_per_strip - 1) / 2.0) * along;
      PlannedFrame f;
      f.timestamp =
          options.start_time + options.frame_interval * static_cast<double>(plan.frames.size());
      const double up = options.height + rng.gaussian(options.height_jitter);
      f.true_geodetic = geodeticFromEnu(options, {east, north, up});
      f.true_attitude = {-90.0 + rng.gaussian(options.attitude_jitter),
                         (northbound ? 0.0 : 180.0) + rng.gaussian(options.attitude_jitter),
                         rng.gaussian(options.attitude_jitter)};
      f.relative_altitude = up;
      const cv::Vec3d noisy{east + rng.gaussian(options.gps_noise),
                            north + rng.gaussian(options.gps_noise),
                            up + rng.gaussian(options.gps_noise)};
      f.recorded_geodetic =
          options.gps_noise > 0.0 ? geodeticFromEnu(options, noisy) : f.true_geodetic;
      f.recorded_attitude = f.true_attitude;
      for (int a = 0; a < 3; ++a) f.recorded_attitude[a] += rng.gaussian(options.attitude_noise);
      f.placement = placeCamera(plan.options, f.true_geodetic, f.true_attitude);
      plan.frames.push_back(f);
      east_lo = std::min(east_lo, east);
      east_hi = std::max(east_hi, east);
      north_lo = std::min(north_lo, north);
      north_hi = std::max(north_hi, north);
    }
  }
  // The area reaches past every footprint by the relief, the tilt and a safety rim.
  const double reach = options.height + 25.0;
  const double tilt = std::tan((4.0 * options.attitude_jitter + 2.0) * M_PI / 180.0) * reach;
  const double half_w = cam.width / 2.0 / cam.fx * reach,
               half_h = cam.height / 2.0 / cam.fy * reach;
  const double half = std::max(half_w, half_h) + tilt + 10.0;
  plan.scene.east_min = std::floor(east_lo - half);
  plan.scene.east_max = std::ceil(east_hi + half);
  plan.scene.north_min = std::floor(north_lo - half);
  plan.scene.north_max = std::ceil(north_hi + half);
  return plan;
}

}  // namespace flight
