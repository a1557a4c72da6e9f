#pragma once

#include "direct_georeferencing.h"

#include "framework/camera.h"
#include "framework/gimage.h"
#include "framework/map_frame.h"
#include "framework/pose.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sfm {

// What the front end takes from a frame the mapper hands in, read once through the frame
// interface while the frame still holds its image.
struct IncomingFrame {
  uint64_t id = 0;
  double timestamp = 0.0;
  std::string image_path;
  fw::Camera camera;        // a copy of the frame's (fitted) camera model
  std::vector<double> gps;  // the frame's GPS record
  fw::GImage image;         // shares the frame's pixels until the located frame is built
  int image_reduction = 1;  // the image was decoded reduced by this factor from the file
  bool has_position = false;
  double latitude = 0.0, longitude = 0.0, altitude = 0.0;
  bool has_height = false;
  double height = 0.0;  // above the take-off ground
  bool has_attitude = false;
  GimbalAngles angles;
};

IncomingFrame readIncomingFrame(fw::MapFrame& frame);

// A usable camera: a valid model with at least the six pinhole parameters.
bool hasUsableCamera(const IncomingFrame& frame);

}  // namespace sfm
