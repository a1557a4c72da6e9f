#pragma once

#include "tools/example_flight.h"

#include <opencv2/core.hpp>

namespace sfm::testing {

// The first frame of a small rendered flight (640 x 480, focal length 544 pixels): real
// ground texture for the feature tests.
constexpr int kRenderedWidth = 640, kRenderedHeight = 480;
constexpr double kRenderedFocal = 544;

inline cv::Mat renderedTestFrame() {
  flight::ExampleFlightOptions o;
  o.flight.camera.width = kRenderedWidth;
  o.flight.camera.height = kRenderedHeight;
  o.flight.camera.fx = o.flight.camera.fy = kRenderedFocal;
  o.flight.frames_per_strip = 2;
  return flight::renderFrame(flight::makeExampleFlight(o), 0).image;
}

}  // namespace sfm::testing
