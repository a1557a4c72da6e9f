#include "frame_handler.h"

#include "chain/chain_factories.h"
#include "framework/log.h"
#include "framework/map_frame.h"
#include "framework/map_fusion.h"
#include "framework/messenger.h"
#include "src/3dtiles/src/3dtiles.h"
#include "src/PointsFusion/src/stereo_dense/cleaner.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pruner.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

namespace {

std::string frameIdOf(const sv::Var& payload) {
  try {
    const auto frame = payload[0].castAs<std::shared_ptr<fw::MapFrame>>();
    if (frame) return std::to_string(frame->id);
  } catch (const std::exception&) {
  }
  return "(unknown)";
}

}  // namespace

FrameHandler::FrameHandler(nlohmann::json* config, zel::Chain* parent, int frameTotal,
                           bool countFrames)
    : zel::Chain("legach_pf", parent),
      config_(config),
      frameTotal_(frameTotal),
      countFrames_(countFrames) {
  cleaner_ = std::make_shared<Cleaner>();
  if (config_->contains("legacy_tf")) createTerrainFusion();
  createTiles();
  pruner_ = std::make_shared<Pruner>([this](sv::Var& p) { forwardToTerrain(p); },
                                     [this](sv::Var& p) { forwardToTiles(p); },
                                     [this](sv::Var& p) { forwardSparseToTerrain(p); });
  const auto scale = config_->find("scale");
  if (scale != config_->end() && scale->is_number()) {
    const double value = scale->get<double>();
    // The pair geometry divides image sizes by the scale.
    if (std::isfinite(value) && value > 0) {
      scale_ = static_cast<float>(value);
    } else {
      FW_LOG(fw::kLogWarning) << "FrameHandler: scale " << scale->dump()
                              << " is not positive; using " << kDefaultScale;
    }
  }
  depth_ = std::make_shared<DenseDepth>(scale_);
  if (showsStage()) {
    const double total = countFrames_ ? frameTotal_ : std::max(frameTotal_, 0);
    setProgressEntry(ProgressEntry{"Map Fusion", 0.0, total, 1.0f, 0.0f, 0.0, {}});
  }
}

FrameHandler::~FrameHandler() {
  // Queued pairs reach the cleaner, whose last pass reaches the resampler and through it
  // the products, which close last.
  depth_.reset();
  cleaner_.reset();
  pruner_.reset();
  terrain_.reset();
  tiles_.reset();
}

void FrameHandler::createTerrainFusion() {
  const std::string text = (*config_)["legacy_tf"].dump();
  std::string reason = "the factory gave no node";
  try {
    createTerrainFusionInstance(terrain_, text, this, &fw::Messenger::instance(), fw::logSinks());
  } catch (const std::exception& e) {
    terrain_.reset();
    reason = e.what();
  }
  // Without terrain fusion the point cloud is still made.
  if (!terrain_) FW_LOG(fw::kLogError) << "cant find library terrainfusion (" << reason << ")";
}

void FrameHandler::createTiles() {
  const auto tiling = config_->find("tiling");
  if (tiling == config_->end() || !tiling->is_object()) return;
  const auto location = tiling->find("location");
  if (location == tiling->end() || !location->is_string()) return;
  tiles_ = std::make_unique<PointCloudTiles>(location->get<std::string>(), this);
}

bool FrameHandler::showsStage() const { return !countFrames_ || frameTotal_ > 0; }

void FrameHandler::addFrame(const std::shared_ptr<fw::MapFrame>& frame) { depth_->AddFrame(frame); }

void FrameHandler::countFrame() {
  if (!showsStage()) return;
  ++frameCounter_;
  setProgress(std::min(frameCounter_, std::max(frameTotal_, 0)), -1.0);
}

void FrameHandler::setFrameTotal(int frameTotal) {
  if (!showsStage() || frameTotal <= 0) return;
  frameTotal_ = frameTotal;
  setProgress(std::min(frameCounter_, frameTotal_), frameTotal_);
}

void FrameHandler::forwardToTerrain(sv::Var& payload) {
  if (!terrain_) return;
  try {
    terrain_->call("point_cloud", &payload);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "FrameHandler: terrain fusion refused frame " << frameIdOf(payload)
                          << ": " << e.what();
  }
}

void FrameHandler::forwardSparseToTerrain(sv::Var& payload) {
  if (!terrain_) return;
  try {
    const auto frame = payload[0].castAs<std::shared_ptr<fw::MapFrame>>();
    if (frame && !terrain_->fuseFrame(frame)) {
      FW_LOG(fw::kLogWarning) << "FrameHandler: terrain fusion did not take frame " << frame->id
                              << " by its sparse points";
    }
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "FrameHandler: terrain fusion refused frame " << frameIdOf(payload)
                          << ": " << e.what();
  }
}

void FrameHandler::forwardToTiles(sv::Var& payload) {
  if (tiles_) tiles_->OnPointCloud(payload);
}
