#pragma once

// The front-end interface and the located map it delivers. The front end itself lives
// outside this program; the mapper feeds it frames and the back ends read its maps.

#include "framework/gobject.h"

#include <memory>
#include <vector>

namespace fw {

class MapFrame;

// A located map: the frames the front end has placed.
class Map : public GObject {
 public:
  std::string type() const override { return "Map"; }
  virtual std::vector<std::shared_ptr<MapFrame>> getFrames() const { return {}; }
};

// The front end. The mapper calls setFrameCount once, addFrame for every frame and then
// finishInput, which returns only after the front end has delivered its last result.
class SLAM {
 public:
  virtual bool addFrame(std::shared_ptr<MapFrame> frame) {
    frame.reset();
    return false;
  }
  virtual bool finishInput() { return false; }
  virtual void setFrameCount(int count) { (void)count; }
  virtual ~SLAM() = default;
};

}  // namespace fw
