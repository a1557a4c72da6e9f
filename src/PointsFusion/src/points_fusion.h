#pragma once

// The back end of the mapping chain ("legacy_pf"): it receives located frames and whole
// located maps (from the mapper's chain commands or the topics "sdk.fr2fuse" and
// "sbt.map2fuse") and hands them, one frame at a time, to its frame handler, which it
// builds on the first frame after a start. "sbt.input.stop" stops it for good.

#include "framework/map_fusion.h"
#include "framework/messenger.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace fw {
class PureProjection;
}
namespace zel {
class Chain;
}
class FrameHandler;

class PointsFusion : public fw::MapFusion {
 public:
  // `config` is the node's configuration as JSON text; a malformed text throws the JSON
  // library's parse error. Its "specific" object, when present, goes into the process-wide
  // configuration store.
  PointsFusion(const std::string& config, zel::Chain* chain);
  ~PointsFusion() override;

  std::string type() const override { return "PointsFusion"; }
  bool reservedQueryE() override { return true; }

  // Always true: a map's frames go to fuseFrame in ascending identifier order; with a
  // "legacy_tf" item the map first sets the zoom terrain fusion builds at.
  bool fuseMap(std::shared_ptr<fw::Map> map) override;
  // Taken under the node's lock, as the frames that read it.
  void setExpectedFrames(int count) override;
  // True when the frame was handed to the depth stage. The node's lock is not held while
  // the depth stage holds the frame back.
  bool fuseFrame(std::shared_ptr<fw::MapFrame> frame) override;

  // Flight height and zoom level of a located map: false (nothing changed) for a null or
  // empty map, and when no focal length or ground sample distance is usable.
  bool calculateZoomLevel(const std::shared_ptr<fw::Map>& map);

  int zoomLevel() const { return zoomLevel_; }
  bool fetchGps() const { return fetchGps_; }
  // The node configuration as the frame handler reads it.
  const nlohmann::json& configuration() const { return config_; }

 private:
  // The handler that takes the frame, built after a start; null when frames are dropped.
  // Counts the feed that gets it as under way.
  std::shared_ptr<FrameHandler> handlerForFeed(std::unique_lock<std::mutex>& lock);
  // Waits, releasing the lock, until no feed is under way: a handler goes only once no
  // thread still feeds it.
  void awaitFeeds(std::unique_lock<std::mutex>& lock);
  void onMap(const std::shared_ptr<fw::Map>& map);
  void onFrameTopic(const std::shared_ptr<fw::MapFrame>& frame);
  void onInputStop(const bool& stop);

  std::atomic<bool> stopped_{false};
  std::atomic<bool> recreateHandler_{true};
  std::mutex mutex_;  // guards the handler, the counts and the shut-down
  std::condition_variable feedEnded_;
  int feeds_ = 0;  // feeds under way outside the lock
  std::shared_ptr<FrameHandler> handler_;
  bool handlerFailed_ = false;  // its construction threw: later frames are dropped
  zel::Chain* chain_;
  nlohmann::json config_;
  bool countFrames_ = true;
  std::shared_ptr<fw::PureProjection> projection_;
  int zoomLevel_ = -1;
  bool fetchGps_ = false;
  fw::Subscriber mapSub_;
  fw::Subscriber frameSub_;
  fw::Subscriber stopSub_;
};
