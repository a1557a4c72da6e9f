#include "points_fusion.h"

#include "frame_handler.h"

#include "chain/chain_factories.h"
#include "framework/config_loading.h"
#include "framework/config_store.h"
#include "framework/log.h"
#include "framework/map_frame.h"
#include "framework/projection.h"
#include "framework/slam.h"

#include <algorithm>
#include <exception>
#include <vector>

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config,
                                                          zel::Chain* chain, void* messenger,
                                                          void* logSinks) {
  if (messenger && logSinks) {
    fw::shareHostServices(static_cast<fw::Messenger*>(messenger),
                          *static_cast<std::shared_ptr<fw::LogSinkSet>*>(logSinks));
  }
  return std::make_shared<PointsFusion>(config, chain);
}

PointsFusion::PointsFusion(const std::string& config, zel::Chain* chain)
    : chain_(chain), config_(nlohmann::json::parse(config)) {
  const auto specific = config_.find("specific");
  if (specific != config_.end() && specific->is_object())
    fw::loadConfigIntoVar(*specific, fw::Var::instance(), "");
  fw::Messenger& messenger = fw::Messenger::instance();
  mapSub_ = messenger.subscribe("sbt.map2fuse", 0, &PointsFusion::onMap, this);
  frameSub_ = messenger.subscribe("sdk.fr2fuse", 0, &PointsFusion::onFrameTopic, this);
  stopSub_ = messenger.subscribe("sbt.input.stop", 0, &PointsFusion::onInputStop, this);
}

PointsFusion::~PointsFusion() {
  // The inputs close before the lock is taken: a delivery under way finishes its frame
  // first, instead of waiting for a lock this thread holds while its end is awaited.
  frameSub_.shutdown();
  mapSub_.shutdown();
  std::shared_ptr<FrameHandler> handler;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    awaitFeeds(lock);
    handler.swap(handler_);
    // The handler's shut-down flushes the products; it runs under the lock so no frame
    // can start a new handler meanwhile.
    handler.reset();
  }
  stopSub_.shutdown();
}

void PointsFusion::onMap(const std::shared_ptr<fw::Map>& map) { fuseMap(map); }

void PointsFusion::onFrameTopic(const std::shared_ptr<fw::MapFrame>& frame) { fuseFrame(frame); }

void PointsFusion::onInputStop(const bool&) {
  if (!stopped_.load()) {
    recreateHandler_.store(true);
    stopped_.store(true);
  }
}

void PointsFusion::setExpectedFrames(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  expectedFrames = count;
  // A live run learns its real frame count while it runs: the stage shown follows it.
  if (handler_) handler_->setFrameTotal(count);
}

bool PointsFusion::fuseFrame(std::shared_ptr<fw::MapFrame> frame) {
  if (!frame) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  const std::shared_ptr<FrameHandler> handler = handlerForFeed(lock);
  if (!handler) return false;
  // The feed ends on every way out, a throwing subscriber of the depth stage included.
  struct FeedEnd {
    PointsFusion& node;
    std::unique_lock<std::mutex>& lock;
    ~FeedEnd() {
      if (!lock.owns_lock()) lock.lock();
      --node.feeds_;
      node.feedEnded_.notify_all();
    }
  } feedEnd{*this, lock};
  lock.unlock();
  handler->addFrame(frame);
  lock.lock();
  handler->countFrame();
  return true;
}

void PointsFusion::awaitFeeds(std::unique_lock<std::mutex>& lock) {
  feedEnded_.wait(lock, [&] { return feeds_ == 0; });
}

std::shared_ptr<FrameHandler> PointsFusion::handlerForFeed(std::unique_lock<std::mutex>& lock) {
  if (stopped_.load()) return nullptr;
  if (recreateHandler_.load() && !handlerFailed_) {
    awaitFeeds(lock);
    handler_.reset();  // the previous handler flushes before the next one starts
    try {
      handler_ = std::make_shared<FrameHandler>(&config_, chain_, expectedFrames, countFrames_);
    } catch (const std::exception& e) {
      handlerFailed_ = true;
      FW_LOG(fw::kLogError) << "PointsFusion: cannot build the frame handler: " << e.what()
                            << "; frames are dropped";
    }
    recreateHandler_.store(false);
  }
  if (!handler_ || stopped_.load()) return nullptr;
  ++feeds_;
  return handler_;
}

bool PointsFusion::fuseMap(std::shared_ptr<fw::Map> map) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_.load() || !map) return true;
  const auto terrain = config_.find("legacy_tf");
  if (terrain != config_.end() && terrain->is_object()) {
    FW_LOG(fw::kLogInfo) << "Calculate zoom level for map";
    if (calculateZoomLevel(map)) {
      (*terrain)["zoom_level"] = zoomLevel_;
      (*terrain)["fetch_gps"] = fetchGps_;
    }
  }
  countFrames_ = false;
  std::vector<std::shared_ptr<fw::MapFrame>> frames = map->getFrames();
  frames.erase(std::remove(frames.begin(), frames.end(), nullptr), frames.end());
  expectedFrames = static_cast<int>(frames.size());
  std::sort(frames.begin(), frames.end(), frameIdLess);
  lock.unlock();
  for (const auto& frame : frames) fuseFrame(frame);
  return true;
}
