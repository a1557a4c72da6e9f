#pragma once

#include "framework/messenger.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "values/var.h"

#include <cstdint>
#include <functional>
#include <memory>

// Resamples each cleaned depth frame into points: every confirmed or already-held sample
// as earth-fixed positions for terrain fusion, and the confirmed samples on strong detail or
// on a sparse grid as positions relative to the frame's pose, with colours, for the
// point-cloud tiles. A frame that has no depth map, or none of whose samples reaches terrain
// fusion, is handed on alone, for terrain fusion to map from its sparse points. Runs in the
// thread that publishes "sbt.cleaned_frames", so every frame leaves in the cleaner's order.
class Pruner {
 public:
  using Output = std::function<void(sv::Var&)>;

  // Laplacian response above which a sample is kept off the grid.
  static constexpr int kDetailThreshold = 50;
  // Depths up to this value (metres) are no depth.
  static constexpr float kMinDepth = 0.001f;

  // Disparity error (pixels) of a dense pair: whole pixels on weak, repetitive texture.
  static constexpr double kDisparityError = 1.0;
  // Pixels (each way) a depth no other view confirmed must lie inside its depth map to reach
  // terrain fusion: the matcher goes wrong along the map's edges, seldom inside.
  static constexpr int kUnconfirmedEdgeReach = 16;

  // terrain: receives [frame, world positions, depth error (metres) of the frame's pair, or 0
  // when unknown], followed, when there are any, by the world positions that no independent
  // view confirmed (kept apart: terrain fusion ranks them below the others): those only the
  // frame's own image pair confirmed, and those no other view confirmed (the pairs of a strip
  // overlap once, so most of a map has no second view) kUnconfirmedEdgeReach inside the map;
  // tiles: [frame, local positions, colours], every confirmed position alike;
  // sparse: [frame] of a frame without dense points for terrain. Any may be empty.
  Pruner(Output terrain, Output tiles, Output sparse = {});
  ~Pruner();
  Pruner(const Pruner&) = delete;
  Pruner& operator=(const Pruner&) = delete;

  void OnCleanedFrame(const std::shared_ptr<ImageScaled>& frame);
  void Process(std::shared_ptr<ImageScaled> frame);

  // The grid step of an image of the given size: "pointsfusion.resample_step", by default
  // one sample in 700 along the longer side; a step below 1 is taken as 1.
  static int resampleStep(int rows, int cols);

  // The depth error of the record's pair at the depth map's median depth: a disparity error
  // of kDisparityError moves a depth z by z^2 / (f B) times it. 0 when the record has no
  // depth or no pair geometry.
  static double depthError(const ImageScaled& record);

 private:
  void handOnSparse(const std::shared_ptr<ImageScaled>& record, uint64_t id);

  Output terrain_;
  Output tiles_;
  Output sparse_;
  fw::Subscriber subscriber_;
};
