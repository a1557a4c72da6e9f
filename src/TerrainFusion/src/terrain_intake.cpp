#include "framework/log.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/tile_clock.h"

#include <opencv2/core.hpp>

#include <exception>
#include <functional>
#include <new>

namespace {

// The dense thread waits while more tasks than this wait in the pool's queue.
constexpr uint64_t kMaxWaitingTasks = 8;
constexpr char kNoMemory[] = "insufficient memory";

std::string idText(const std::shared_ptr<fw::MapFrame>& frame) {
  return frame ? std::to_string(frame->id) : std::string("(none)");
}

// Runs one step of a task; an exception is logged with the frame's id and swallowed, so the
// task goes on to release the image and trim the cache. The ticket, when given, records the
// failure: running out of memory under its own name, anything else as an error.
template <typename Result>
Result guarded(const char* step, const std::string& id, Result failed,
               const std::function<Result()>& run, IntakeTicket* ticket = nullptr) {
  std::string reason;
  try {
    return run();
  } catch (const std::bad_alloc& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id
                          << " failed: " << e.what();
    reason = kNoMemory;
  } catch (const cv::Exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id
                          << " failed: " << e.what();
    reason = e.code == cv::Error::StsNoMem ? kNoMemory : "image processing error";
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id
                          << " failed: " << e.what();
    reason = "error";
  } catch (...) {
    FW_LOG(fw::kLogError) << "TerrainFusion::" << step << ": frame " << id << " failed";
    reason = "error";
  }
  if (ticket) ticket->fail(reason);
  return failed;
}

}  // namespace

std::shared_ptr<fw::BoundedPool> TerrainFusion::makeWorkerPool(int workers) {
  return std::make_shared<fw::BoundedPool>(workers);
}

std::shared_ptr<fw::BoundedPool> TerrainFusion::workerPool() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (pool_) return pool_;
  try {
    pool_ = makeWorkerPool(options_.workers);
  } catch (const std::exception& e) {
    // Tried again with the next frame: memory may have been freed by then.
    if (!poolFailureLogged_) {
      FW_LOG(fw::kLogWarning) << "TerrainFusion: no worker thread could be started (" << e.what()
                              << "); frames are fused on the thread that hands them in";
      poolFailureLogged_ = true;
    }
  }
  return pool_;
}

IntakeTicket& TerrainFusion::ticketOr(IntakeTicket* ticket, std::shared_ptr<IntakeTicket>& own) {
  if (ticket) return *ticket;
  std::lock_guard<std::mutex> lock(intake_.queueMutex());
  own = intake_.issue();
  return *own;
}

bool TerrainFusion::fuseFrame(std::shared_ptr<fw::MapFrame> frame) {
  if (!frame || stop_ || !acceptsInput(frame)) return false;
  // A frame may come before any point cloud (the first frames of a run without a depth
  // map): it makes the pool as a point cloud would, so that it still reaches the DOM.
  const auto pool = workerPool();
  std::shared_ptr<IntakeTicket> ticket;
  {
    std::lock_guard<std::mutex> lock(intake_.queueMutex());
    ticket = intake_.issue();
    if (pool) pool->add([this, frame, ticket] { frameTask(frame, ticket); });
  }
  if (!pool) frameTask(frame, ticket);
  return true;
}

void TerrainFusion::addPointCloud(sv::Var* message) {
  if (stop_) return;
  std::shared_ptr<fw::MapFrame> frame;
  std::vector<pi::Point3d> points, pairOnly;
  double depthError = 0.0;
  try {
    frame = (*message)[0].castAs<std::shared_ptr<fw::MapFrame>>();
    points = (*message)[1].castAs<std::vector<pi::Point3d>>();
    if (message->length() > 3) pairOnly = (*message)[3].castAs<std::vector<pi::Point3d>>();
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addPointCloud: dropped frame " << idText(frame) << ": "
                          << e.what();
    releaseFrameImage(frame);
    frames_.count("unreadable message");
    return;
  }
  if (!frame) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addPointCloud: dropped a message without a frame";
    frames_.count("unreadable message");
    return;
  }
  try {
    if (message->length() > 2) depthError = (*message)[2].castAs<double>();
  } catch (const std::exception& e) {
    // Only the outlier check needs it: the frame's heights go on unchecked.
    FW_LOG(fw::kLogWarning) << "TerrainFusion::addPointCloud: frame " << frame->id
                            << ": unreadable depth error: " << e.what();
  }
  if (points.empty() && pairOnly.empty()) {
    FW_LOG(fw::kLogWarning) << "No points in frame: " << frame->id;
    frames_.count("no points");
    releaseFrameImage(frame);
    return;
  }
  const auto pool = workerPool();
  std::shared_ptr<IntakeTicket> ticket;
  {
    std::lock_guard<std::mutex> lock(intake_.queueMutex());
    ticket = intake_.issue();
    if (pool) {
      pool->add([this, frame, ticket, depthError, points = std::move(points),
                 pairOnly = std::move(pairOnly)]() mutable {
        pointCloudTask(frame, std::move(points), ticket, depthError, std::move(pairOnly));
      });
    }
  }
  if (pool) {
    pool->waitForRoom(kMaxWaitingTasks);
  } else {
    pointCloudTask(frame, std::move(points), ticket, depthError, std::move(pairOnly));
  }
}

void TerrainFusion::pointCloudTask(std::shared_ptr<fw::MapFrame> frame,
                                   std::vector<pi::Point3d> points,
                                   const std::shared_ptr<IntakeTicket>& given, double depthError,
                                   std::vector<pi::Point3d> pairOnly) {
  std::shared_ptr<IntakeTicket> own;
  IntakeTicket& ticket = ticketOr(given.get(), own);
  if (stop_) return;
  const std::string id = idText(frame);
  FW_LOG(fw::kLogInfo) << "TerrainFusion is working on: " << id;
  const bool fused = guarded<bool>(
      "pointCloudTask", id, false,
      [&] { return fusePointCloud(frame, points, &ticket, depthError, pairOnly); }, &ticket);
  points.clear();
  points.shrink_to_fit();
  pairOnly.clear();
  pairOnly.shrink_to_fit();
  finishFrame("pointCloudTask", frame, ticket, fused);
}

bool TerrainFusion::frameTask(std::shared_ptr<fw::MapFrame> frame,
                              const std::shared_ptr<IntakeTicket>& given) {
  std::shared_ptr<IntakeTicket> own;
  IntakeTicket& ticket = ticketOr(given.get(), own);
  if (stop_) return true;
  const std::string id = idText(frame);
  const bool fused = guarded<bool>(
      "frameTask", id, false, [&] { return fuseMapFrame(frame, &ticket); }, &ticket);
  finishFrame("frameTask", frame, ticket, fused);
  return fused;
}

void TerrainFusion::addDsmDom(sv::Var* message) {
  if (stop_) return;
  std::shared_ptr<IntakeTicket> ticket;
  {
    std::lock_guard<std::mutex> lock(intake_.queueMutex());
    ticket = intake_.issue();
  }
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
      ticket->fail("unreadable message");
    } else {
      fused = guarded<bool>(
          "addDsmDom", id, false,
          [&] {
            return fuseDsmDom(rasterId, tile, zoom, zoomOffset, frame, dsm, dom, weight,
                              ticket.get());
          },
          ticket.get());
    }
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addDsmDom: rasters " << id << " failed: " << e.what();
    ticket->fail("unreadable message");
  } catch (...) {
    FW_LOG(fw::kLogError) << "TerrainFusion::addDsmDom: rasters " << id << " failed";
    ticket->fail("unreadable message");
  }
  finishFrame("addDsmDom", frame, *ticket, fused, id);
}

void TerrainFusion::finishFrame(const char* step, const std::shared_ptr<fw::MapFrame>& frame,
                                IntakeTicket& ticket, bool fused, const std::string& name) {
  const std::string id = name.empty() ? idText(frame) : name;
  // Later frames go on whatever happened to this one.
  ticket.passAll();
  guarded<bool>(step, id, false, [&] {
    releaseFrameImage(frame);
    return true;
  });
  if (!fused) ticket.fail("failed");
  frames_.count(ticket.failure());
  if (fused) {
    guarded<bool>(step, id, false, [&] {
      updateTilesets();
      return true;
    });
  }
  guarded<bool>(step, id, false, [&] {
    trimTileCache(tileClockSeconds());
    return true;
  });
}
