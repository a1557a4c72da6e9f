#pragma once

// A test double of the back end for running the mapper with our front end: its factory
// (createPointsFusionInstance) makes a back end that records the frames it is fed.

#include "framework/map_frame.h"

#include <memory>
#include <vector>

namespace sfm::testing {

// Frames the back ends made since the last reset received, in order.
std::vector<std::shared_ptr<fw::MapFrame>> fusedFrames();
int fusedMaps();
void resetFused();

}  // namespace sfm::testing
