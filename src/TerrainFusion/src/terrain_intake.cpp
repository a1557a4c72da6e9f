#include "framework/log.h"
#include "framework/thread_pool.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/tile_clock.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>

namespace {

// The dense thread waits while more tasks than this wait in the pool's queue.
constexpr uint64_t kMaxWaitingTasks = 8;
constexpr auto kBackPressureStep = std::chrono::milliseconds(100);

// "terrainfusion.threads", default half the hardware threads plus one; never below one (a
// pool without workers would hold the back-pressure loop forever).
int workerCount(fw::Var& settings) {
  const int hardware = static_cast<int>(std::thread::hardware_concurrency());
  const int count = *settings.GetInt("terrainfusion.threads", hardware / 2 + 1);
  return std::max(count, 1);
}

std::string idText(const std::shared_ptr<fw::MapFrame>& frame) {
  return frame ? std::to_string(frame->id) : std::string("(none)");
}

// Runs one step of a task; an exception is logged with the frame's id and swallowed, so the
// task goes on to release the image and trim the cache.
template <typename Result>
Result guarded(const char* step, const std::string& id, Result failed,
               const std::function<Result()>& run) {
  try {
    return run();
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id
                          << " failed: " << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id << " failed";
  }
  return failed;
}

}  // namespace

std::shared_ptr<fw::detail::ThreadPool> TerrainFusion::workerPool() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (!pool_) pool_ = std::make_shared<fw::detail::ThreadPool>(workerCount(settings_));
  return pool_;
}

bool TerrainFusion::fuseFrame(std::shared_ptr<fw::MapFrame> frame) {
  if (!frame || !acceptsInput(frame)) return false;
  std::shared_ptr<fw::detail::ThreadPool> pool;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    pool = pool_;
  }
  if (!pool) return false;
  pool->Add([this, frame] { return frameTask(frame); });
  return true;
}

void TerrainFusion::addPointCloud(sv::Var* message) {
  if (stop_) return;
  const auto pool = workerPool();
  std::shared_ptr<fw::MapFrame> frame;
  std::vector<pi::Point3d> points;
  try {
    frame = (*message)[0].castAs<std::shared_ptr<fw::MapFrame>>();
    points = (*message)[1].castAs<std::vector<pi::Point3d>>();
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addPointCloud: dropped frame " << idText(frame) << ": "
                          << e.what();
    releaseFrameImage(frame);
    return;
  }
  if (!frame) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addPointCloud: dropped a message without a frame";
    return;
  }
  if (points.empty()) {
    FW_LOG(fw::kLogWarning) << "No points in frame: " << frame->id;
    return;
  }
  pool->Add([this, frame, points = std::move(points)]() mutable {
    pointCloudTask(frame, std::move(points));
  });
  while (pool->PendingTasks() > kMaxWaitingTasks) std::this_thread::sleep_for(kBackPressureStep);
}

void TerrainFusion::pointCloudTask(std::shared_ptr<fw::MapFrame> frame,
                                   std::vector<pi::Point3d> points) {
  if (stop_) return;
  const std::string id = idText(frame);
  FW_LOG(fw::kLogInfo) << "TerrainFusion is working on: " << id;
  const bool fused =
      guarded<bool>("pointCloudTask", id, false, [&] { return fusePointCloud(frame, points); });
  points.clear();
  points.shrink_to_fit();
  guarded<bool>("pointCloudTask", id, false, [&] {
    releaseFrameImage(frame);
    return true;
  });
  if (fused) {
    guarded<bool>("pointCloudTask", id, false, [&] {
      updateTilesets();
      return true;
    });
  }
  guarded<bool>("pointCloudTask", id, false, [&] {
    trimTileCache(tileClockSeconds());
    return true;
  });
}

bool TerrainFusion::frameTask(std::shared_ptr<fw::MapFrame> frame) {
  if (stop_) return true;
  const std::string id = idText(frame);
  const bool fused = guarded<bool>("frameTask", id, false, [&] { return fuseMapFrame(frame); });
  guarded<bool>("frameTask", id, false, [&] {
    releaseFrameImage(frame);
    return true;
  });
  return fused;
}

void TerrainFusion::addDsmDom(sv::Var* message) {
  if (stop_) return;
  sv::Var& m = *message;
  std::string id = "(unknown)";
  std::shared_ptr<fw::MapFrame> frame;
  bool fused = false;
  try {
    const auto rasterId = m[0].castAs<unsigned int>();
    id = std::to_string(rasterId);
    FW_LOG(fw::kLogInfo) << "TerrainFusion is working on: " << rasterId;
    frame = m[4].castAs<std::shared_ptr<fw::MapFrame>>();
    cv::Mat weight = m[7].castAs<cv::Mat>();
    cv::Mat dom = m[6].castAs<cv::Mat>();
    cv::Mat dsm = m[5].castAs<cv::Mat>();
    const int zoomOffset = m[3].castAs<int>();
    const int zoom = m[2].castAs<int>();
    const auto tile = m[1].castAs<pi::Point2ll>();
    if (!frame) {
      FW_LOG(fw::kLogError) << "TerrainFusion::addDsmDom: dropped rasters " << id
                            << " without a frame";
      return;
    }
    fused = fuseDsmDom(rasterId, tile, zoom, zoomOffset, frame, dsm, dom, weight);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addDsmDom: rasters " << id << " failed: " << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addDsmDom: rasters " << id << " failed";
  }
  guarded<bool>("addDsmDom", id, false, [&] {
    releaseFrameImage(frame);
    return true;
  });
  if (fused) {
    guarded<bool>("addDsmDom", id, false, [&] {
      updateTilesets();
      return true;
    });
  }
  guarded<bool>("addDsmDom", id, false, [&] {
    trimTileCache(tileClockSeconds());
    return true;
  });
}
