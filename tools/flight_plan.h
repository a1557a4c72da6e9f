#pragma once

#include "perspective_renderer.h"
#include "synthetic_scene.h"

#include <opencv2/core.hpp>

#include <vector>

// A lawnmower survey over the take-off point: parallel strips flown alternately north and
// south, the camera looking down with its yaw along the direction of travel.
//
// A fixed-wing survey (any of body_wobble, crab_angle, course_as_heading, turn_frames set)
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
// `focal_error` (the images are rendered with the true camera).
PinholeCamera recordedCamera(const FlightOptions& options);

// Placement of a camera in the scene for a geodetic position and gimbal angles.
CameraPlacement placeCamera(const FlightOptions& options, const cv::Vec3d& geodetic,
                            const cv::Vec3d& attitude);

}  // namespace flight
