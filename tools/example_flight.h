#pragma once

#include "flight_plan.h"
#include "perspective_renderer.h"
#include "synthetic_scene.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <memory>
#include <vector>

// The synthetic example survey: a scene, a flight over it, its frames rendered as JPEG
// files with a frame-list file, and the ground truth (height map, orthophoto, markers, the
// true camera and the GPS error the frame list was given).
namespace flight {

struct ExampleFlightOptions {
  FlightOptions flight;
  double texel = 0.1;          // metres per ground-truth cell and texture cell
  double marker_radius = 0.6;  // metres
  unsigned scene_seed = 7;
  int jpeg_quality = 95;
  bool furrowed_fields = false;  // the scene's farmland (SceneOptions::furrowed_fields)
  double field_texture = 1.0;    // SceneOptions::field_texture
};

// A real fixed-wing survey's conditions, rendered: about 40 frames of `width` x 3/4 width
// (1000: the tests' size; 4000: 12 MP) in 3 strips at 100 m with about 60% forward and 30%
// side overlap and banked turns, the camera fixed to a wobbling, crabbing body, over furrowed
// fields. Unless `exact`, the frame list is what the autopilot writes: the course as the
// heading, GPS and attitude noise and a focal length 6% short; `exact` records the true
// positions, attitudes and calibration of the same flight.
ExampleFlightOptions fixedWingFlight(bool exact, int width = 1000);

// The fixed-wing survey as hard as a real one: 64 frames in 4 strips and the turns between
// them (the camera triggers at the strips' spacing throughout), a lens with barrel
// distortion (k1 -0.03, k2 0.01), images darker by 35% in the corners and with an exposure
// of their own, fields of fainter texture. Unless `exact`, the frame list also states no
// distortion, and its GPS fixes trail the exposures by 2 m along the track, sit 1.4 m right
// of it and wander slowly (1.5 m on each axis, 0.7 of it kept from frame to frame) besides
// 0.3 m of white scatter; `exact` records the true positions, attitudes and calibration,
// distortion included.
ExampleFlightOptions realFlight(bool exact, int width = 1000);

struct ExampleFlight {
  FlightPlan plan;
  std::shared_ptr<const SyntheticScene> scene;
};

ExampleFlight makeExampleFlight(const ExampleFlightOptions& options);

RenderedView renderFrame(const ExampleFlight& flight, size_t index);

// Files written into a folder: images/frame_NNNN.jpg, frames.json (a frame list with
// absolute image paths) and truth/ (height.tif, orthophoto.png, truth.json).
struct WrittenFlight {
  std::filesystem::path frame_list;
  std::filesystem::path truth_folder;
  std::vector<std::filesystem::path> images;
};

WrittenFlight writeExampleFlight(const ExampleFlight& flight, const std::filesystem::path& folder,
                                 int jpeg_quality = 95);
// The same with the frames' views rendered already (one per frame, in order).
WrittenFlight writeExampleFlight(const ExampleFlight& flight,
                                 const std::vector<RenderedView>& views,
                                 const std::filesystem::path& folder, int jpeg_quality = 95);

// What truth.json, height.tif and orthophoto.png describe.
struct GroundTruth {
  cv::Mat height;                          // CV_32FC1, metres above the take-off ground
  cv::Mat orthophoto;                      // CV_8UC3
  double texel = 0.0;                      // metres per cell
  double east_min = 0.0, north_max = 0.0;  // west and north edges of the rasters
  cv::Vec3d origin;                        // take-off ground: latitude, longitude, altitude
  std::vector<cv::Vec3d> markers;          // marker centres, east-north-up metres
  std::vector<cv::Vec3d> marker_geodetic;  // the same as latitude, longitude, altitude
};

// Throws std::runtime_error when the folder does not hold readable ground truth.
GroundTruth readGroundTruth(const std::filesystem::path& truth_folder);

}  // namespace flight
