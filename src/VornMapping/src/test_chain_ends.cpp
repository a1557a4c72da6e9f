#include "test_chain_ends.h"

#include "process_guards.h"

#include "chain/chain_factories.h"
#include "chain/output_item.h"
#include "chain/zel_node.h"

#include "framework/located_frame_for_tests.h"
#include "framework/log.h"
#include "framework/map_frame.h"
#include "framework/map_fusion.h"
#include "framework/run_tally.h"
#include "framework/slam.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using nlohmann::json;

std::mutex recordMutex;
ChainEndsRecord record;

template <typename Change>
void note(Change change) {
  std::lock_guard<std::mutex> lock(recordMutex);
  change(record);
}

using fwtest::ListedMap;

// Locates each frame on its own worker thread, as a real front end answers asynchronously.
class LocatingFrontEnd : public fw::SLAM {
 public:
  LocatingFrontEnd(const json& config, zel::Chain* chain)
      : chain_(chain),
        progress_("Locate", chain),
        delay_(std::chrono::milliseconds(config.value("frame_delay_ms", 0))),
        throwOnAdd_(config.value("throw_on_add", false)) {
    progress_.setProgressEntry(ProgressEntry{"Locate", 0.0, -1.0, 0.7f, 0.0f, -1.0, {}});
    worker_ = std::thread(&LocatingFrontEnd::locate, this);
  }

  ~LocatingFrontEnd() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
    note([](ChainEndsRecord& r) { r.releaseOrder.push_back("front_end"); });
  }

  bool addFrame(std::shared_ptr<fw::MapFrame> frame) override {
    if (throwOnAdd_) throw std::runtime_error("front end cannot take frames");
    // Taking a frame costs time, as in a real front end, so a run can be stopped half way.
    std::this_thread::sleep_for(delay_);
    const bool hasImage = !frame->getImage(0, 0).empty();
    note([&](ChainEndsRecord& r) {
      r.framesAdded.push_back(frame->id);
      r.framesHadImages.push_back(hasImage);
      r.frameNames.push_back(frame->name);
    });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(frame));
    }
    changed_.notify_all();
    return true;
  }

  bool finishInput() override {
    std::vector<std::shared_ptr<fw::MapFrame>> located;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
      located = located_;
    }
    note([](ChainEndsRecord& r) { r.finishInputCalled = true; });
    chain_->call("map_located", std::make_shared<ListedMap>(located));
    return true;
  }

  void setFrameCount(int count) override {
    frameCount_ = count;
    note([count](ChainEndsRecord& r) { r.frontEndFrameCount = count; });
  }

 private:
  void locate() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::shared_ptr<fw::MapFrame> frame = queue_.front();
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      chain_->call("frame_located", frame);
      note([&](ChainEndsRecord& r) { r.framesLocated.push_back(frame->id); });
      lock.lock();
      located_.push_back(frame);
      busy_ = false;
      const double done = static_cast<double>(located_.size());
      lock.unlock();
      const int count = frameCount_.load();
      progress_.setProgress(done, count > 0 ? count : done);
      lock.lock();
      changed_.notify_all();
    }
  }

  zel::Chain* chain_;
  zel::Node progress_;
  std::chrono::milliseconds delay_;
  bool throwOnAdd_;
  std::atomic<int> frameCount_{-1};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<fw::MapFrame>> queue_;
  std::vector<std::shared_ptr<fw::MapFrame>> located_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

// Records what reaches it and reports one product that is being written while it works.
class RecordingBackEnd : public fw::MapFusion {
 public:
  RecordingBackEnd(const json& config, zel::Chain* chain)
      : node_("PointsFusion", chain),
        throwOnFrame_(config.value("throw_on_frame", false)),
        throwOnMap_(config.value("throw_on_map", false)),
        holdFirstUntilLocated_(config.value("hold_first_until_located", 0)),
        tilesPerFrame_(config.contains("legacy_tf") ? config.value("tiles_per_frame", 1) : 0),
        countsTerrainFrames_(config.contains("legacy_tf")),
        uncountedFrames_(config.value("uncounted_frames", 0)),
        flushUntilSignal_(config.value("flush_until_signal", false)) {
    if (config.value("leave_temporary", false)) leaveTemporaryFile(config);
    if (config.value("idle_record", false)) {
      auto idle = std::make_shared<zel::Tileset3D>();
      idle->id = "idle_points";
      idle->type = 112;
      idle->markUpdated();
      node_.addOutput(idle);
    }
  }

  ~RecordingBackEnd() override {
    if (flushUntilSignal_) flushUntilSignal();
    note([](ChainEndsRecord& r) { r.releaseOrder.push_back("back_end"); });
  }

  bool fuseFrame(std::shared_ptr<fw::MapFrame> frame) override {
    if (throwOnFrame_) throw std::runtime_error("frame rejected");
    if (holdFirstUntilLocated_ > 0 && frame->id == 0) holdUntilLocated();
    note([&](ChainEndsRecord& r) { r.framesFused.push_back(frame->id); });
    auto cloud = std::make_shared<zel::Tileset3D>();
    cloud->id = "dense_points";
    cloud->type = 112;
    cloud->state = zel::kOutputInProgress;
    cloud->markUpdated();
    node_.addOutput(cloud);
    fw::RunTally::instance().add(fw::tally::kDomTiles, tilesPerFrame_);
    fw::RunTally::instance().add(fw::tally::kDsmTiles, tilesPerFrame_);
    if (countsTerrainFrames_ && uncountedFrames_-- <= 0)
      fw::RunTally::instance().add(fw::tally::kTerrainFrames);
    return true;
  }

  bool fuseMap(std::shared_ptr<fw::Map> map) override {
    if (throwOnMap_) throw std::runtime_error("map rejected");
    const int frames = static_cast<int>(map->getFrames().size());
    note([frames](ChainEndsRecord& r) { r.mapsFused.push_back(frames); });
    return true;
  }

  void setExpectedFrames(int count) override {
    fw::MapFusion::setExpectedFrames(count);
    note([count](ChainEndsRecord& r) { r.backEndExpectedFrames = count; });
  }

 private:
  void holdUntilLocated() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (chainEndsRecord().framesLocated.size() < size_t(holdFirstUntilLocated_)) {
      if (std::chrono::steady_clock::now() > deadline) {
        note([](ChainEndsRecord& r) { r.firstFuseHeldInVain = true; });
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  static void flushUntilSignal() {
    FW_LOG(fw::kLogInfo) << "Test back end: flushing";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stopRequestedBySignal() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // What an atomic write interrupted by the end of the process leaves: "<file>.<pid>.tmp".
  static void leaveTemporaryFile(const json& config) {
    const std::filesystem::path folder = config["tiling"]["location"].get<std::string>();
    std::filesystem::create_directories(folder / "0");
    std::ofstream(folder / "0" / ("0.pnts." + std::to_string(::getpid()) + ".tmp")) << "half";
  }

  zel::Node node_;
  bool throwOnFrame_;
  bool throwOnMap_;
  int holdFirstUntilLocated_;
  int tilesPerFrame_;
  bool countsTerrainFrames_;
  int uncountedFrames_;
  bool flushUntilSignal_;
};

json parseConfig(const std::string& config) {
  json parsed = json::parse(config);
  if (parsed.contains("throw_on_create")) {
    throw std::runtime_error(parsed["throw_on_create"].get<std::string>());
  }
  return parsed;
}

}  // namespace

ChainEndsRecord chainEndsRecord() {
  std::lock_guard<std::mutex> lock(recordMutex);
  return record;
}

void resetChainEndsRecord() {
  std::lock_guard<std::mutex> lock(recordMutex);
  record = ChainEndsRecord{};
}

std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* chain, void*,
                                            void*) {
  return std::make_shared<LocatingFrontEnd>(parseConfig(config), chain);
}

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config,
                                                          zel::Chain* chain, void*, void*) {
  return std::make_shared<RecordingBackEnd>(parseConfig(config), chain);
}
