#pragma once

// Interface of a map-fusion back end: it is fed whole located maps or single located frames
// and told how many frames to expect.

#include "framework/gobject.h"

#include <memory>

namespace fw {

class Map;
class MapFrame;

class MapFusion : public GObject {
 public:
  std::string type() const override { return "MapFusionNone"; }

  virtual bool reservedQueryE() { return false; }
  virtual bool fuseMap(std::shared_ptr<Map> map) {
    map.reset();
    return false;
  }
  virtual bool fuseFrame(std::shared_ptr<MapFrame> frame) {
    frame.reset();
    return false;
  }
  virtual bool reservedQueryC() { return false; }
  virtual void setExpectedFrames(int count) { expectedFrames = count; }
  virtual bool setHandle(void* h) {
    handle = h;
    return true;
  }

  void* handle = nullptr;
  int expectedFrames = -1;
};

}  // namespace fw
