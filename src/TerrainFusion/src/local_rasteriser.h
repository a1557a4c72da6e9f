#pragma once

#include "framework/pose.h"
#include "framework/projection.h"
#include "src/TerrainFusion/src/local_rasters.h"
#include "src/TerrainFusion/src/terrain_memory.h"
#include "src/TerrainFusion/src/terrain_placement.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <vector>

// One frame as the rasteriser reads it: its image already decoded and reduced to its pinhole
// part, the pinhole camera and where the camera stands in the reconstruction.
struct RasterFrame {
  uint64_t id = 0;  // for log lines
  // 8-bit BGR; released by the rasteriser as soon as it is no longer needed, so that its
  // memory is free before the height grid takes its own.
  cv::Mat image;
  cv::Mat seen;         // empty, or 0 where the image has no content
  cv::Vec4d pinhole;    // fx, fy, cx, cy in image pixels
  SE3 worldFromCamera;  // the frame's pose
};

// Turns a frame's points into its local rasters at the run's zoom: a DSM of the highest
// point per cell (4 x 4 DOM pixels, holes closed), a DOM coloured from the image at those
// heights and a weight that falls off towards the image's border. Keeps no state between
// frames: every worker may run its own at once.
class LocalRasteriser {
 public:
  // The references must outlive the rasteriser. `stop` ends the work early (false returned).
  LocalRasteriser(const fw::PureProjection& projection, const TerrainPlacement& placement,
                  const terrain_memory::Settings& memory, const std::atomic<bool>& stop)
      : projection_(projection), placement_(placement), memory_(memory), stop_(stop) {}

  // `points` in reconstruction coordinates. False, with `out.failure` set where a reason is
  // known and logged, when the frame gives no raster or the work was stopped.
  bool rasterise(RasterFrame& frame, const std::vector<pi::Point3d>& points,
                 LocalRasters& out) const;

 private:
  const fw::PureProjection& projection_;
  const TerrainPlacement& placement_;
  const terrain_memory::Settings& memory_;
  const std::atomic<bool>& stop_;
};
