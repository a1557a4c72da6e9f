#pragma once

#include "chain/terrain_memory.h"
#include "framework/pinhole.h"
#include "framework/pose.h"
#include "framework/projection.h"
#include "src/TerrainFusion/src/decoded_image.h"
#include "src/TerrainFusion/src/local_rasters.h"
#include "src/TerrainFusion/src/terrain_placement.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One frame as the rasteriser reads it: its image, decoded on demand at the reduction the
// raster needs and already reduced to its pinhole part, the pinhole camera and where the
// camera stands in the reconstruction.
struct RasterFrame {
  uint64_t id = 0;     // for log lines
  cv::Size imageSize;  // the camera's, in whose pixels `pinhole` is given
  fw::Pinhole pinhole;
  SE3 worldFromCamera;  // the frame's pose
  // Decodes the image reduced by a factor of 1, 2, 4 or 8 into `out` (8-bit BGR of the
  // camera's size reduced by it, with its seen mask where it has a margin without content);
  // the reason, logged, when it cannot, else empty. Called once the raster's geometry is
  // known, so that a 12-megapixel frame is never held whole for a much coarser DOM.
  std::function<std::string(int factor, DecodedImage& out)> decode;
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

  // `points` and `morePoints` (one list in two, so that neither is copied into the other) in
  // reconstruction coordinates. False, with `out.failure` set where a reason is known and
  // logged, when the frame gives no raster or the work was stopped.
  bool rasterise(const RasterFrame& frame, const std::vector<pi::Point3d>& points,
                 LocalRasters& out, const std::vector<pi::Point3d>& morePoints = {}) const;

 private:
  const fw::PureProjection& projection_;
  const TerrainPlacement& placement_;
  const terrain_memory::Settings& memory_;
  const std::atomic<bool>& stop_;
};
