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
  if (!options.distortion_stated) camera.k1 = camera.k2 = 0.0;
  return camera;
}

bool isFixedWing(const FlightOptions& options) {
  return options.body_wobble != 0.0 || options.crab_angle != 0.0 || options.course_as_heading ||
         options.turn_frames > 0 || options.trigger_through_turns;
}

namespace {

constexpr double kDeg = M_PI / 180.0;
constexpr double kGravity = 9.81;
constexpr double kMaxBank = 25.0;  // degrees: a survey autopilot's bank limit in turns

// The span an image covers along (rows) and across (columns) the track between the
// frames of a strip and between strips.
struct Spacing {
  double along = 0.0, across = 0.0;
};

Spacing spacingOf(const FlightOptions& o, const PinholeCamera& cam) {
  // With the yaw along the track the image rows run along the track.
  return {(1.0 - o.forward_overlap) * cam.height * o.height / cam.fy,
          (1.0 - o.side_overlap) * cam.width * o.height / cam.fx};
}

// A slowly wandering offset on each axis: a first-order autoregressive walk that starts
// from its own spread, so every frame's offset has the same spread.
class Drift {
 public:
  Drift(double spread, double correlation, unsigned seed)
      : spread_(spread), keep_(correlation), rng_(seed) {
    if (spread_ > 0.0)
      for (int k = 0; k < 3; ++k) value_[k] = rng_.gaussian(spread_);
  }
  cv::Vec3d next() {
    const cv::Vec3d now = value_;
    if (spread_ > 0.0) {
      for (int k = 0; k < 3; ++k)
        value_[k] = keep_ * value_[k] + std::sqrt(1.0 - keep_ * keep_) * rng_.gaussian(spread_);
    }
    return now;
  }

 private:
  double spread_, keep_;
  cv::RNG rng_;
  cv::Vec3d value_;
};

double wrapDegrees(double a) {
  a = std::fmod(a + 180.0, 360.0);
  return (a < 0.0 ? a + 360.0 : a) - 180.0;
}

// Where a fixed-wing survey's frames are taken: along the strips and around the half-circle
// turns that join them (the next strip always lies east). Course in degrees, bank signed
// (right wing down positive), path length from the start in metres.
struct TrackPoint {
  cv::Vec2d east_north;
  double course = 0.0;
  double bank = 0.0;
  double distance = 0.0;
  bool in_turn = false;
};

// The turn from a strip's last frame onto the next strip, `2 radius` east: half a spacing
// straight on, a half circle, half a spacing in. The point `angle` radians around the circle:
TrackPoint onTurnArc(const cv::Vec2d& strip_end, double ahead, double angle, double radius,
                     double bank, const Spacing& sp) {
  const double end = strip_end[1] + ahead * sp.along / 2.0;
  TrackPoint p;
  p.east_north = {strip_end[0] + radius - radius * std::cos(angle),
                  end + ahead * radius * std::sin(angle)};
  p.course = ahead > 0 ? angle / kDeg : 180.0 - angle / kDeg;
  p.bank = ahead * bank;  // right turns after northbound strips, left after southbound
  p.in_turn = true;
  return p;
}

// The point `along` metres of the turn's path past the strip's last frame; `along` is at
// least half a spacing, past the way out.
TrackPoint alongTurn(const cv::Vec2d& strip_end, double ahead, double along, double radius,
                     double bank, const Spacing& sp) {
  const double arc = M_PI * radius;
  const double past_arc = along - sp.along / 2.0 - arc;
  if (past_arc <= 0.0)
    return onTurnArc(strip_end, ahead, (along - sp.along / 2.0) / radius, radius, bank, sp);
  // On the way in, level and back along the strips' line.
  TrackPoint p = onTurnArc(strip_end, ahead, M_PI, radius, 0.0, sp);
  p.east_north[1] -= ahead * past_arc;
  return p;
}

std::vector<TrackPoint> fixedWingTrack(const FlightOptions& o, const Spacing& sp) {
  std::vector<TrackPoint> track;
  const double radius = sp.across / 2.0;
  const double speed = sp.along / o.frame_interval;
  const double bank = std::min(kMaxBank, std::atan(speed * speed / (kGravity * radius)) / kDeg);
  const double half_strip = (o.frames_per_strip - 1) / 2.0 * sp.along;
  const double arc = M_PI * radius;
  const double turn_length = sp.along + arc;
  // Frames triggered at the strips' spacing: every one the turn holds before the next strip.
  const int frames_per_turn = o.trigger_through_turns
                                  ? static_cast<int>(std::ceil(turn_length / sp.along)) - 1
                                  : o.turn_frames;
  double distance = 0.0;
  for (int s = 0; s < o.strips; ++s) {
    const double east = (s - (o.strips - 1) / 2.0) * sp.across;
    const double ahead = s % 2 == 0 ? 1.0 : -1.0;  // northbound strips first
    for (int i = 0; i < o.frames_per_strip; ++i) {
      if (i > 0) distance += sp.along;
      TrackPoint p;
      p.east_north = {east, ahead * (i * sp.along - half_strip)};
      p.course = ahead > 0 ? 0.0 : 180.0;
      p.distance = distance;
      track.push_back(p);
    }
    if (s + 1 == o.strips) break;
    for (int j = 1; j <= frames_per_turn; ++j) {
      const cv::Vec2d strip_end{east, ahead * half_strip};
      TrackPoint p;
      if (o.trigger_through_turns) {
        p = alongTurn(strip_end, ahead, j * sp.along, radius, bank, sp);
        p.distance = distance + j * sp.along;
      } else {  // the frames share the half circle evenly
        p = onTurnArc(strip_end, ahead, M_PI * j / (frames_per_turn + 1.0), radius, bank, sp);
        p.distance = distance + sp.along / 2.0 + arc * j / (frames_per_turn + 1.0);
      }
      track.push_back(p);
    }
    distance += turn_length;
  }
  return track;
}

enum Axis { kEast = 0, kNorth = 1, kUp = 2 };

// A turn by the given degrees, counterclockwise about a local axis.
cv::Matx33d turnAbout(int axis, double degrees) {
  const double c = std::cos(degrees * kDeg), s = std::sin(degrees * kDeg);
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;
  cv::Matx33d m = cv::Matx33d::eye();
  m(i, i) = c;
  m(i, j) = -s;
  m(j, i) = s;
  m(j, j) = c;
  return m;
}

// A bounded, slowly wandering angle: an autoregressive walk of the given spread clipped to
// +-limit.
class Wobble {
 public:
  Wobble(double limit, cv::RNG& rng) : limit_(limit), rng_(rng) {}
  double next() {
    constexpr double kKeep = 0.6;  // share of the last frame's angle that carries over
    value_ = kKeep * value_ + std::sqrt(1.0 - kKeep * kKeep) * rng_.gaussian(limit_ / 3.0);
    value_ = std::clamp(value_, -limit_, limit_);
    return value_;
  }

 private:
  double limit_;
  cv::RNG& rng_;
  double value_ = 0.0;
};

void planFixedWing(FlightPlan* plan, const Spacing& sp) {
  const FlightOptions& o = plan->options;
  cv::RNG rng(o.seed);
  // The recorder's noise is drawn apart, so the exact and the noisy frame lists of a seed
  // describe the same flight.
  cv::RNG recorder(o.seed * 2654435761u + 1u);
  Wobble roll(o.body_wobble, rng), pitch(o.body_wobble, rng);
  Drift drift(o.gps_drift, o.gps_drift_correlation, o.seed * 2246822519u + 3u);
  const double lag = o.gps_lag * sp.along / o.frame_interval;  // metres back along the track
  for (const TrackPoint& t : fixedWingTrack(o, sp)) {
    PlannedFrame f;
    f.timestamp = o.start_time + t.distance / sp.along * o.frame_interval;
    f.course = t.course;
    f.in_turn = t.in_turn;
    // A crosswind from the west: the nose turns into it by the crab angle's share the
    // wind has across the course, plus gusts.
    const double heading = wrapDegrees(t.course - o.crab_angle * std::cos(t.course * kDeg) +
                                       rng.gaussian(o.attitude_jitter));
    // The autopilot holds the turn's bank within its limit through the wobble.
    const double roll_wobble = roll.next();
    f.body_attitude = {heading, pitch.next(),
                       t.in_turn ? std::clamp(t.bank + roll_wobble, -kMaxBank - 5.0, kMaxBank + 5.0)
                                 : roll_wobble};
    const double up = o.height + rng.gaussian(o.height_jitter);
    f.relative_altitude = up;
    const cv::Vec3d enu{t.east_north[0], t.east_north[1], up};
    f.true_geodetic = geodeticFromEnu(o, enu);
    // The gimbal angles of the body's camera at the frame's own position.
    const cv::Matx33d local_from_scene = ecefFromEnu(f.true_geodetic[0], f.true_geodetic[1]).t() *
                                         ecefFromEnu(o.latitude, o.longitude);
    const cv::Matx33d camera =
        local_from_scene * enuFromBodyCamera(heading, f.body_attitude[1], f.body_attitude[2]);
    f.true_attitude = gimbalAngles(camera);
    const cv::Vec3d white{recorder.gaussian(o.gps_noise), recorder.gaussian(o.gps_noise),
                          recorder.gaussian(o.gps_noise)};
    const double c = t.course * kDeg;
    const cv::Vec3d ahead{std::sin(c), std::cos(c), 0.0}, right{std::cos(c), -std::sin(c), 0.0};
    f.gps_error = white - lag * ahead + o.gps_side_offset * right + drift.next();
    f.recorded_geodetic =
        f.gps_error == cv::Vec3d() ? f.true_geodetic : geodeticFromEnu(o, enu + f.gps_error);
    // The course for the heading turns the whole camera about the vertical; the sensor's
    // noise turns it a little about each axis (angle noise near nadir would hardly tilt it
    // sideways, where the yaw and the roll turn the same axis).
    cv::Matx33d recorded = camera;
    if (o.course_as_heading) recorded = turnAbout(kUp, heading - t.course) * recorded;
    if (o.attitude_noise > 0.0) {
      for (const int axis : {kEast, kNorth, kUp})
        recorded = turnAbout(axis, recorder.gaussian(o.attitude_noise)) * recorded;
    }
    f.recorded_attitude = gimbalAngles(recorded);
    f.placement = placeCamera(o, f.true_geodetic, f.true_attitude);
    plan->frames.push_back(f);
  }
}

// The area every view reaches: the image border's rays met with the lowest ground the scene
// can have, each no farther out than a few heights (a ray nearer the horizon sees sky).
SceneOptions fixedWingArea(const FlightPlan& plan) {
  constexpr double kLowest = -13.0;  // below the scene's lowest ground
  constexpr double kRim = 10.0;
  const PinholeCamera& cam = plan.options.camera;
  const double farthest = 2.5 * (plan.options.height - kLowest);
  SceneOptions area;
  double east_lo = 1e9, east_hi = -1e9, north_lo = 1e9, north_hi = -1e9;
  for (const PlannedFrame& f : plan.frames) {
    const cv::Vec3d& o = f.placement.position;
    for (const cv::Point2d& p : imageBorder(cam, 4)) {
      const cv::Vec3d d = f.placement.enu_from_camera * rayThrough(cam, p.x, p.y);
      cv::Vec2d ground{o[0], o[1]};
      const cv::Vec2d flat{d[0], d[1]};
      const double flat_length = cv::norm(flat);
      if (flat_length > 1e-12) {
        const double out = d[2] < 0.0 ? (kLowest - o[2]) / d[2] * flat_length : farthest;
        ground += flat / flat_length * std::min(out, farthest);
      }
      east_lo = std::min(east_lo, ground[0]);
      east_hi = std::max(east_hi, ground[0]);
      north_lo = std::min(north_lo, ground[1]);
      north_hi = std::max(north_hi, ground[1]);
    }
  }
  area.east_min = std::floor(east_lo - kRim);
  area.east_max = std::ceil(east_hi + kRim);
  area.north_min = std::floor(north_lo - kRim);
  area.north_max = std::ceil(north_hi + kRim);
  return area;
}

// Each frame's exposure gain, drawn apart from the flight, so that the light changes
// nothing else of a seed's flight.
void drawExposures(FlightPlan* plan) {
  const double spread = plan->options.exposure_spread;
  if (spread == 0.0) return;
  cv::RNG light(plan->options.seed * 40503u + 7u);
  for (PlannedFrame& f : plan->frames) f.exposure = std::exp(light.gaussian(spread));
}

// True when the lens images every ray of the image once: the distorted radius keeps rising
// out to the image's corners.
bool lensImagesOnce(const PinholeCamera& camera) {
  const double x = camera.width / camera.fx, y = camera.height / camera.fy;
  const double corner2 = (x * x + y * y) / 4.0 * 1.5;  // with a margin past the corner
  for (int i = 0; i <= 100; ++i) {
    const double r2 = corner2 * i / 100.0;
    if (!(1.0 + r2 * (3.0 * camera.k1 + 5.0 * r2 * camera.k2) > 0.0)) return false;
  }
  return true;
}

}  // namespace

FlightPlan planFlight(const FlightOptions& options) {
  if (!(std::abs(options.focal_error) < 0.5)) throw std::invalid_argument("invalid flight options");
  if (options.strips < 1 || options.frames_per_strip < 1 || options.height <= 0.0 ||
      options.camera.width < 2 || options.camera.height < 2 || options.camera.fx <= 0.0 ||
      options.camera.fy <= 0.0 || options.forward_overlap < 0.0 || options.forward_overlap >= 1.0 ||
      options.side_overlap < 0.0 || options.side_overlap >= 1.0 || options.turn_frames < 0 ||
      !(options.body_wobble >= 0.0 && options.body_wobble <= 30.0) ||
      !(std::abs(options.crab_angle) <= 45.0)) {
    throw std::invalid_argument("invalid flight options");
  }
  if (!(options.gps_drift >= 0.0) || !(options.gps_drift_correlation >= 0.0) ||
      !(options.gps_drift_correlation < 1.0) || !std::isfinite(options.gps_lag) ||
      !std::isfinite(options.gps_side_offset) || !(options.vignetting >= 0.0) ||
      !(options.vignetting < 1.0) || !(options.exposure_spread >= 0.0) ||
      !(options.exposure_spread <= 1.0) || !lensImagesOnce(options.camera)) {
    throw std::invalid_argument("invalid GPS, lens or light options");
  }
  if (!isFixedWing(options) &&
      (options.gps_lag != 0.0 || options.gps_side_offset != 0.0 || options.gps_drift != 0.0)) {
    throw std::invalid_argument("the GPS's lag, side offset and drift need a fixed-wing survey");
  }
  FlightPlan plan;
  plan.options = options;
  plan.options.camera.cx = (options.camera.width - 1) / 2.0;
  plan.options.camera.cy = (options.camera.height - 1) / 2.0;
  const PinholeCamera& cam = plan.options.camera;
  const Spacing sp = spacingOf(options, cam);
  if (isFixedWing(options)) {
    planFixedWing(&plan, sp);
    plan.scene = fixedWingArea(plan);
    drawExposures(&plan);
    return plan;
  }
  cv::RNG rng(options.seed);
  double east_lo = 1e9, east_hi = -1e9, north_lo = 1e9, north_hi = -1e9;
  for (int s = 0; s < options.strips; ++s) {
    const double east = (s - (options.strips - 1) / 2.0) * sp.across;
    const bool northbound = s % 2 == 0;
    for (int i = 0; i < options.frames_per_strip; ++i) {
      const int k = northbound ? i : options.frames_per_strip - 1 - i;
      const double north = (k - (options.frames_per_strip - 1) / 2.0) * sp.along;
      PlannedFrame f;
      f.timestamp =
          options.start_time + options.frame_interval * static_cast<double>(plan.frames.size());
      const double up = options.height + rng.gaussian(options.height_jitter);
      f.true_geodetic = geodeticFromEnu(options, {east, north, up});
      f.true_attitude = {-90.0 + rng.gaussian(options.attitude_jitter),
                         (northbound ? 0.0 : 180.0) + rng.gaussian(options.attitude_jitter),
                         rng.gaussian(options.attitude_jitter)};
      f.relative_altitude = up;
      f.course = northbound ? 0.0 : 180.0;
      f.body_attitude = {f.course, 0.0, 0.0};
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
  drawExposures(&plan);
  return plan;
}

double cruiseSpeed(const FlightOptions& options) {
  return spacingOf(options, options.camera).along / options.frame_interval;
}

double bankLimitedSpeed(const FlightOptions& options) {
  const double radius = spacingOf(options, options.camera).across / 2.0;
  return std::sqrt(kGravity * radius * std::tan(kMaxBank * kDeg));
}

cv::Vec3d gpsErrorSpread(const FlightOptions& o) {
  // Along north-south strips the lag lies north or south and the side offset east or west.
  const double lag = o.gps_lag * cruiseSpeed(o);
  const double random = o.gps_noise * o.gps_noise + o.gps_drift * o.gps_drift;
  return {std::sqrt(random + o.gps_side_offset * o.gps_side_offset), std::sqrt(random + lag * lag),
          std::sqrt(random)};
}

}  // namespace flight
