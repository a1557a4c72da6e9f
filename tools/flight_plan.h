#pragma once

#include "perspective_renderer.h"
#include "synthetic_scene.h"

#include <opencv2/core.hpp>

#include <vector>

// A lawnmower survey over the take-off point: parallel strips flown alternately north and
// south, the camera looking down with its yaw along the direction of travel.
//
// A fixed-wing survey (any of body_wobble, crab_angle, course_as_heading, turn_frames,
// trigger_through_turns set)
// differs as such a flight does: the camera is fixed to the body, so the aircraft's roll and
// pitch tilt it and the crab angle a crosswind forces turns the image with the nose; the
// strips are joined by banked turns whose frames may not overlap their neighbours; and the
// frame list may give the course over ground as the heading, as autopilots write it.
namespace flight {

struct FlightOptions {
  PinholeCamera camera;   // cx, cy are set to the image centre by planFlight
  double height = 100.0;  // metres above the take-off ground
  int strips = 2;
  int frames_per_strip = 8;
  double forward_overlap = 0.75;  // share of a frame seen again by the next one
  double side_overlap = 0.6;      // share of a strip's footprint seen by the next strip
  double attitude_jitter = 1.5;   // degrees of true gimbal wander around nadir and heading
                                  // (fixed-wing: of the heading's gusts)
  double height_jitter = 0.5;     // metres of true altitude wander
  double gps_noise = 0.0;         // metres of noise on the recorded position
  double attitude_noise = 0.0;    // degrees of noise on the recorded angles
  double focal_error = 0.0;       // share by which the recorded calibration's focal length is off
  // Fixed-wing survey (all zero or false: the gimbal survey above).
  double body_wobble = 0.0;        // degrees: the body's roll and pitch wander within +-this
  double crab_angle = 0.0;         // degrees the nose is turned from the course into the wind
  bool course_as_heading = false;  // the frame list's yaw is the course, not the heading
  int turn_frames = 0;             // frames taken in each banked turn between strips
  // The camera keeps triggering at the strips' spacing through the turns, taking as many
  // frames as each turn's path holds (turn_frames is then unused).
  bool trigger_through_turns = false;
  // A receiver's GPS error beyond gps_noise's white scatter (fixed-wing survey only): the fix
  // trails the exposure, sits to one side of the track and wanders slowly.
  double gps_lag = 0.0;                // seconds the fix is late: it lies back along the track
  double gps_side_offset = 0.0;        // metres the fix lies right of the course (flips with it)
  double gps_drift = 0.0;              // metres: spread of the wandering offset on each axis
  double gps_drift_correlation = 0.0;  // share of a frame's wander the next one keeps, [0, 1)
  // The lens and the light: the true lens's distortion is camera.k1, camera.k2; unless
  // distortion_stated, the frame list gives none. Each frame's image is scaled by its own
  // exposure (spread exposure_spread in log units) and darkened toward the corners.
  bool distortion_stated = true;
  double vignetting = 0.0;                      // share of the light the image corners lose, [0, 1)
  double exposure_spread = 0.0;                 // spread of ln(gain) between frames
  double latitude = 30.52, longitude = 114.36;  // take-off point
  double ground_altitude = 35.0;                // take-off ground above the ellipsoid
  double start_time = 1701532800.0;             // seconds; frames follow every frame_interval
  double frame_interval = 2.0;
  unsigned seed = 1;
};

struct PlannedFrame {
  double timestamp = 0.0;
  CameraPlacement placement;    // true placement in the scene's east-north-up metres
  cv::Vec3d true_geodetic;      // latitude, longitude, altitude
  cv::Vec3d true_attitude;      // pitch, yaw, roll in degrees
  cv::Vec3d recorded_geodetic;  // as written to the frame list (with noise)
  cv::Vec3d recorded_attitude;
  double relative_altitude = 0.0;  // true height above the take-off ground
  // Fixed-wing survey; for a gimbal survey the body is level and heads along the course.
  double course = 0.0;      // degrees clockwise from north of the track over ground
  cv::Vec3d body_attitude;  // true heading, pitch (nose up), roll (right wing down), degrees
  bool in_turn = false;     // taken in a turn between strips
  cv::Vec3d gps_error;      // recorded minus true position: east, north, up metres
  double exposure = 1.0;    // gain of the frame's image
};

struct FlightPlan {
  FlightOptions options;
  std::vector<PlannedFrame> frames;
  SceneOptions scene;  // area that covers every frame's view
};

FlightPlan planFlight(const FlightOptions& options);

// True when the options ask for a fixed-wing survey.
bool isFixedWing(const FlightOptions& options);

// The camera as the frame list records it: the true one with the focal length off by
// `focal_error`, without distortion unless `distortion_stated` (the images are rendered with
// the true camera).
PinholeCamera recordedCamera(const FlightOptions& options);

// Metres per second along a fixed-wing survey's strips.
double cruiseSpeed(const FlightOptions& options);

// The fastest speed at which a fixed-wing survey flies the half circles that join its strips
// within the autopilot's bank limit: a faster flight banks beyond it.
double bankLimitedSpeed(const FlightOptions& options);

// The spread (east, north, up metres) of the recorded positions about the true ones that the
// options' GPS error gives: what an honest receiver states as its sigmas.
cv::Vec3d gpsErrorSpread(const FlightOptions& options);

// Placement of a camera in the scene for a geodetic position and gimbal angles.
CameraPlacement placeCamera(const FlightOptions& options, const cv::Vec3d& geodetic,
                            const cv::Vec3d& attitude);

}  // namespace flight
