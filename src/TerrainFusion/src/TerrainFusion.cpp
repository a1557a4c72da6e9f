#include "src/TerrainFusion/src/TerrainFusion.h"

#include "chain/chain_factories.h"
#include "framework/config_loading.h"
#include "framework/link_free_folder.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/tf_tileset.h"
#include "tiles/cpu_features.h"
#include "tiles/tile.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <stdexcept>

namespace {

const char kConfigError[] = "TerrainFusion::TerrainFusion: failed to parse config string: ";
using fw::kDeepestZoom;
// The process-wide variable through which a mosaic export of the node's tiles is watched and
// cancelled.
const char kExportProgressKey[] = "TerrainFusion.ExportProgress";

// A number of the document read as double; `def` when absent or of another JSON type.
double numberOr(const nlohmann::json& object, const char* key, double def) {
  const auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : def;
}

// A JSON number clamped to [lo, hi] before the conversion, so that no value is undefined.
int32_t clampedInt(double value, int32_t lo, int32_t hi) {
  if (!(value >= lo)) return lo;
  if (value > hi) return hi;
  return static_cast<int32_t>(value);
}

std::string locationOf(const nlohmann::json& product, const std::string& fallback) {
  const auto tiling = product.find("tiling");
  if (tiling != product.end() && tiling->is_object()) {
    const auto location = tiling->find("location");
    if (location != tiling->end() && location->is_string()) return location->get<std::string>();
  }
  return fallback;
}

}  // namespace

void createTerrainFusionInstance(std::shared_ptr<fw::MapFusion>& node, std::string config,
                                 zel::Chain* chain, fw::Messenger* messenger,
                                 std::shared_ptr<std::set<fw::LogSink*>> logSinks) {
  if (messenger && logSinks) fw::shareHostServices(messenger, logSinks);
  node = std::shared_ptr<TerrainFusion>(new TerrainFusion(config, chain),
                                        [](TerrainFusion* p) { delete p; });
  config.clear();
}

TerrainFusion::TerrainFusion(const std::string& config, zel::Chain* chain)
    : zel::Node("legacy_tf", chain) {
  if (!readConfiguration(config)) return;
  std::string memoryError;
  memory_ = terrain_memory::settingsOf(config_, memoryError);
  if (memoryError.empty()) memoryError = terrain_memory::settingsError(config_);
  if (!memoryError.empty()) {
    // Refused before any tile, raster or cache is made: the run cannot fit these settings.
    FW_LOG(fw::kLogError) << "TerrainFusion::TerrainFusion: " << memoryError;
    addRecords(zel::kOutputFailed);
    return;
  }
  if (!setupTileManager()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::TerrainFusion: failed to set up tile manager: "
                          << setupError_;
    addRecords(zel::kOutputFailed);
    return;
  }
  applyGivenZoom();
  detectCpuFeatures();
  // Reported at once, not started: a run that never writes a tile ends with both records
  // failed instead of without them.
  addRecords(zel::kOutputNotStarted);
  ready_ = true;
}

bool TerrainFusion::readConfiguration(const std::string& config) {
  try {
    config_ = nlohmann::json::parse(config);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << kConfigError << e.what();
    return false;
  }
  if (!config_.is_object() || !config_.contains("work_dir") || !config_["work_dir"].is_string()) {
    FW_LOG(fw::kLogError) << kConfigError << "work_dir is missing";
    return false;
  }
  workFolder_ = config_["work_dir"].get<std::string>();
  namespace fs = std::filesystem;
  std::string reason;
  if (!fw::LinkFreeFolder::open(workFolder_, fw::LinkFreeFolder::Missing::kCreate, reason)
           .isOpen()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::TerrainFusion: failed to create work folder: "
                          << workFolder_ << " (" << reason << ")";
    return false;
  }
  tilesFolder_ = (fs::u8path(workFolder_) / "tiles").u8string();
  const auto dom = config_.find("dom");
  const auto dsm = config_.find("dsm");
  if (dom == config_.end() || dsm == config_.end() || !dom->is_object() || !dsm->is_object()) {
    FW_LOG(fw::kLogError) << kConfigError << "dom or dsm is missing";
    return false;
  }
  const double scale = numberOr(*dom, "scale", 1.0);
  scale_ = static_cast<float>(scale);
  if (!(scale > 0.0) || !std::isfinite(scale_)) {
    FW_LOG(fw::kLogWarning) << "TerrainFusion: DOM scale " << scale
                            << " is not a positive finite number; using 1.0";
    scale_ = 1.0f;
  }
  const double maxZoom = numberOr(*dom, "max_zoom_level", kDeepestZoom);
  maxZoomLevel_ = clampedInt(maxZoom, 0, kDeepestZoom);
  if (maxZoom != maxZoomLevel_) {
    FW_LOG(fw::kLogWarning) << "TerrainFusion: max_zoom_level " << maxZoom << " taken as "
                            << maxZoomLevel_;
  }
  domLocation_ = locationOf(*dom, (fs::u8path(tilesFolder_) / "dom").u8string());
  dsmLocation_ = locationOf(*dsm, (fs::u8path(tilesFolder_) / "dsm").u8string());
  const auto tiling = dom->find("tiling");
  storageMode_ = kStorageFiles;
  if (tiling != dom->end() && tiling->is_object()) {
    storageMode_ = clampedInt(numberOr(*tiling, "storage", kStorageFiles), INT32_MIN, INT32_MAX);
  }
  const auto specific = config_.find("specific");
  if (specific != config_.end() && specific->is_object()) {
    fw::loadConfigIntoVar(*specific, settings_, "");
  }
  try {
    options_ = TerrainOptions::fromStore(settings_);
  } catch (const std::invalid_argument& e) {
    FW_LOG(fw::kLogError) << kConfigError << e.what();
    return false;
  }
  return true;
}

bool TerrainFusion::setupTileManager() {
  std::shared_ptr<fw::TileManager> store;
  try {
    if (storageMode_ == kStorageFiles) {
      store = std::make_shared<TileManagerFileSystemMultiFile<TerrainFusionMultiTile>>(
          tilesFolder_, domLocation_, dsmLocation_);
    } else if (storageMode_ == kStorageMbtiles) {
      auto mbtiles =
          std::make_shared<TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>>(
              tilesFolder_, domLocation_, dsmLocation_);
      if (!mbtiles->domDatabase() || !mbtiles->dsmDatabase() || !mbtiles->recordDatabase()) {
        setupError_ = "the MBTiles databases could not be created: " + mbtiles->creationError();
        return false;
      }
      mbtiles->setZoomsWritten(options_.renderZooms);
      store = mbtiles;
    } else {
      setupError_ = "storage mode " + std::to_string(storageMode_) +
                    " is neither 1 (tile files) nor 2 (MBTiles)";
      return false;
    }
  } catch (const std::exception& e) {
    setupError_ = std::string("the tile store could not be created: ") + e.what();
    return false;
  }
  // The whole longitude range: frames up to and across the antimeridian keep their place
  // (a clamp at 177 degrees would pull their pixels hundreds of kilometres west or east).
  projection_ = fw::projectionForCoordinate(options_.coordinate, 180.0);
  int32_t capacity = options_.cacheSize;
  const double allowed = memory_.cacheTilesAllowed();
  if (capacity > allowed) {
    const int32_t kept = static_cast<int32_t>(std::max(1.0, allowed));
    FW_LOG(fw::kLogWarning) << "TerrainFusion: terrainfusion.cache_size " << capacity
                            << " tiles would take more than half the memory budget "
                               "(terrainfusion.memory_budget_mb); keeping "
                            << kept;
    capacity = kept;
  }
  auto cache =
      std::make_shared<TileManagerCachedGDAL>(projection_, store, static_cast<uint32_t>(capacity));
  cache->setExportProgress(fw::Var::instance().GetDouble(kExportProgressKey, 0.0));
  tileManager_ = cache;
  return true;
}

void TerrainFusion::applyGivenZoom() {
  const auto zoom = config_.find("zoom_level");
  const auto fetchGps = config_.find("fetch_gps");
  if (zoom == config_.end() || fetchGps == config_.end() || !zoom->is_number() ||
      !fetchGps->is_boolean()) {
    return;
  }
  fetchGps_ = fetchGps->get<bool>();
  const double lowered = zoom->get<double>() - std::round(std::log(scale_) / std::log(2.0));
  placement_.giveZoom(std::min(clampedInt(lowered, 0, kDeepestZoom), maxZoomLevel_));
  FW_LOG(fw::kLogInfo) << "TileZoom:" << placement_.zoom();
  publishZoom();
}

void TerrainFusion::publishZoom() {
  if (!tileManager_) return;
  fw::TileRange range = tileManager_->GetRange();
  range.level = static_cast<uint32_t>(placement_.zoom());
  tileManager_->SetRange(range);
}

void TerrainFusion::addRecords(int32_t state) {
  for (const char* kind : {"dom", "dsm"}) {
    auto record = std::make_shared<TfTileset>(kind);
    record->id = std::string(kind) + "_01";
    record->location = std::string(kind) == "dom" ? domLocation_ : dsmLocation_;
    record->storage_type = storageMode_;
    record->state = state;
    record->markUpdated();
    addOutput(record);
  }
}

TerrainFusion::~TerrainFusion() {
  for (auto& subscriber : subscribers_) subscriber.shutdown();
  for (auto& publisher : publishers_) publisher.shutdown();
  std::shared_ptr<fw::BoundedPool> pool;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    pool.swap(pool_);
  }
  // Runs every queued task and joins the workers, outside the lock.
  pool.reset();
  if (tileManager_) {
    FW_LOG(fw::kLogInfo) << "Saving tile cache to disk...: ";
    tileManager_->call("saveCache", nullptr);
    const auto cache = std::dynamic_pointer_cast<fw::TileManagerCached>(tileManager_);
    const uint64_t failures = cache ? cache->writeBackFailures() : 0;
    if (failures > 0) {
      FW_LOG(fw::kLogError) << "TerrainFusion: " << failures
                            << " tiles could not be written to the store";
      addRecords(zel::kOutputFailed);
    }
  }
  if (frames_.refused() > 0) {
    FW_LOG(fw::kLogError) << "TerrainFusion: refused " << frames_.refused()
                          << " inputs because the node was not set up";
  }
  if (ready_ && frames_.noneMerged()) {
    FW_LOG(fw::kLogError) << "TerrainFusion: all " << frames_.given()
                          << " frames failed; the DOM and DSM hold none of them";
    addRecords(zel::kOutputFailed);
  }
  // The stores finish their files before anything else goes.
  tileManager_.reset();
}

bool TerrainFusion::acceptsInput(const std::shared_ptr<fw::MapFrame>& frame) {
  if (ready_) return true;
  releaseFrameImage(frame);
  if (frames_.refuse()) {
    FW_LOG(fw::kLogError) << "TerrainFusion: the node was not set up; refusing frame "
                          << (frame ? std::to_string(frame->id) : std::string("(none)"))
                          << " and all later input";
  }
  return false;
}

void TerrainFusion::releaseFrameImage(const std::shared_ptr<fw::MapFrame>& frame) {
  if (!frame) return;
  if (!frame->setImage(fw::GImage(), 0)) FW_LOG(fw::kLogWarning) << "Failed to release image!";
}

namespace {

// The frame of a message's element, null when the message has no such element.
std::shared_ptr<fw::MapFrame> frameOf(sv::Var& message, int index) {
  if (!message.isArray() || message.length() <= static_cast<uint64_t>(index)) return nullptr;
  return message[index].castAs<std::shared_ptr<fw::MapFrame>>();
}

}  // namespace

void TerrainFusion::call(const std::string& command, void* arg) {
  try {
    if (command == "TerrainFusion_Progress") {
      if (!arg) throw std::invalid_argument("no double to write the progress to");
      std::shared_ptr<fw::BoundedPool> pool;
      {
        std::lock_guard<std::mutex> lock(poolMutex_);
        pool = pool_;
      }
      *static_cast<double*>(arg) = pool && pool->busy() ? 1.0 : 0.0;
    } else if (command == "point_cloud" || command == "point_cloud_with_dsmdom") {
      if (!arg) throw std::invalid_argument("no message");
      sv::Var message = *static_cast<sv::Var*>(arg);
      const bool points = command == "point_cloud";
      // A point cloud may carry its pair's depth error as a third element, and the points
      // that only its own image pair confirmed as a fourth.
      const bool fits =
          message.isArray() &&
          (points ? message.length() >= 2u && message.length() <= 4u : message.length() == 8u);
      if (!fits) {
        throw std::invalid_argument("the message is not an array of " +
                                    std::string(points ? "two to four" : "eight") + " elements");
      }
      if (!acceptsInput(frameOf(message, points ? 0 : 4))) return;
      if (points) {
        addPointCloud(static_cast<sv::Var*>(arg));
      } else {
        addDsmDom(static_cast<sv::Var*>(arg));
      }
    } else if (command == "flush_tile_cache") {
      if (!tileManager_) return;
      FW_LOG(fw::kLogInfo) << "Saving tile cache to disk...";
      tileManager_->call("saveCache", nullptr);
    } else {
      FW_LOG(fw::kLogError) << "TerrainFusion::call: unknown command: " << command;
    }
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "TerrainFusion::call: " << command << " failed: " << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "TerrainFusion::call: " << command << " failed";
  }
}
