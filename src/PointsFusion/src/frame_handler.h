#pragma once

// The chain item that runs the dense stages for one start of the dense fusion node: it
// builds the product nodes its configuration names (terrain fusion through its factory
// when "legacy_tf" is present, point-cloud tiles when "tiling" names a "location"), then
// the consistency cleaner, the resampler and the depth stage, and owns them all. Frames
// enter through its depth stage; the resampler hands each frame's points to the products.

#include "chain/zel_node.h"
#include "values/var.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>

namespace fw {
class MapFrame;
class MapFusion;
}  // namespace fw
class Cleaner;
class DenseDepth;
class PointCloudTiles;
class Pruner;

class FrameHandler : public zel::Chain {
 public:
  static constexpr float kDefaultScale = 4.0f;

  // `config` is the dense node's configuration, owned by the caller and outliving this
  // handler. The handler shows the stage "Map Fusion" with `frameTotal` frames unless
  // `countFrames` is set and no total above 0 is known.
  FrameHandler(nlohmann::json* config, zel::Chain* parent, int frameTotal, bool countFrames);
  // Releases the stages in the order that lets every queued frame reach the products.
  ~FrameHandler() override;

  // Hands a located frame to the depth stage.
  void addFrame(const std::shared_ptr<fw::MapFrame>& frame);
  // Counts one more frame handed on and reports it, never above the total, when this
  // handler shows a stage.
  void countFrame();
  // A new frame total for the stage this handler shows (the frames a live run really has).
  void setFrameTotal(int frameTotal);
  bool countFrames() const { return countFrames_; }
  float scale() const { return scale_; }

  // The resampler's outputs: [frame, world positions] to terrain fusion as "point_cloud",
  // [frame, local positions, colours] to the point-cloud tiles. Each does nothing without
  // its product node and never throws.
  void forwardToTerrain(sv::Var& payload);
  void forwardToTiles(sv::Var& payload);
  // [frame] of a frame without dense points (its pair gave no depth map, or cleaning kept
  // none) to terrain fusion's frame route, which maps it from its sparse points and lets
  // dense heights outrank them. It comes from the resampler in the cleaner's order, like the
  // dense frames.
  void forwardSparseToTerrain(sv::Var& payload);

 private:
  void createTerrainFusion();
  void createTiles();
  bool showsStage() const;

  std::unique_ptr<PointCloudTiles> tiles_;
  std::shared_ptr<DenseDepth> depth_;
  std::shared_ptr<Cleaner> cleaner_;
  std::shared_ptr<Pruner> pruner_;
  std::shared_ptr<fw::MapFusion> terrain_;
  nlohmann::json* config_;
  float scale_ = kDefaultScale;
  int frameTotal_;
  int frameCounter_ = 0;
  bool countFrames_;
};
