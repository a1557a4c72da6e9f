#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/frame_image_decoding.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/tile_model.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

using fw::kDeepestZoom;
using tile_model::kPixelsPerCell;
// Ready rasters are spread over at most 2^4 x 2^4 tiles (8 levels would need 18 GB).
constexpr int kMaxReadyZoomSteps = 4;

// Why ready rasters cannot be used; empty when they can.
std::string refusalOf(const pi::Point2ll& tile, int32_t sourceZoom, int32_t zoom, int maxSteps,
                      const std::shared_ptr<fw::MapFrame>& frame, const cv::Mat& dsm,
                      const cv::Mat& dom, const cv::Mat& weight) {
  if (!frame) return "no frame";
  if (dsm.empty() || dom.empty()) return "empty DSM or DOM";
  if (weight.empty()) return "empty weight";
  if (dsm.type() != CV_32FC1) return "DSM is not 32-bit float with one channel";
  if (dom.type() != CV_8UC3) return "DOM is not 8-bit with three channels";
  if (weight.type() != CV_8UC1) return "weight is not 8-bit with one channel";
  if (sourceZoom < 0 || sourceZoom > kDeepestZoom) {
    return "source zoom " + std::to_string(sourceZoom) + " outside 0.." +
           std::to_string(kDeepestZoom);
  }
  const long long tiles = 1LL << sourceZoom;
  if (tile.x < 0 || tile.y < 0 || tile.x >= tiles || tile.y >= tiles) {
    return "tile " + std::to_string(tile.x) + "," + std::to_string(tile.y) +
           " outside the grid of zoom " + std::to_string(sourceZoom);
  }
  const int steps = zoom - sourceZoom;
  if (steps < 0 || steps > maxSteps) {
    return "node zoom " + std::to_string(zoom) + " is not 0.." + std::to_string(maxSteps) +
           " levels below source zoom " + std::to_string(sourceZoom);
  }
  return "";
}

}  // namespace

bool TerrainFusion::makeMapFromDsmDom(uint32_t id, const pi::Point2ll& tile, int32_t sourceZoom,
                                      const std::shared_ptr<fw::MapFrame>& frame,
                                      const std::shared_ptr<LocalDSMData>& local, cv::Mat& dsm,
                                      cv::Mat& dom, cv::Mat& weight) {
  // A DOM of another layout (grey, alpha, 16 bits) is taken as colour; a refused one stays
  // as it was given.
  cv::Mat colour = dom;
  if (!dom.empty() && dom.type() != CV_8UC3) {
    const cv::Mat bgr = fw::bgrOf(dom);
    if (!bgr.empty()) colour = bgr;
  }
  const std::string refusal = !local || !projection_
                                  ? std::string("no raster record or projection")
                                  : refusalOf(tile, sourceZoom, placement_.zoom(),
                                              kMaxReadyZoomSteps, frame, dsm, colour, weight);
  if (!refusal.empty()) {
    FW_LOG(fw::kLogError) << "Invalid DSM/DOM was passed in - Tile ID: " << id << " (" << refusal
                          << ")";
    if (local) local->failure = "invalid ready rasters";
    return false;
  }
  const long long side = (1LL << (placement_.zoom() - sourceZoom)) * projection_->tileSize().x;
  const std::string memoryError = terrain_memory::frameError(memory_, double(side) * double(side));
  if (!memoryError.empty()) {
    FW_LOG(fw::kLogError) << "Invalid DSM/DOM was passed in - Tile ID: " << id << " ("
                          << memoryError << ")";
    local->failure = "insufficient memory";
    return false;
  }
  local->timestamp = frame->timestamp;
  const pi::Point2ll size = projection_->tileSize();
  local->tileSize = size;
  local->dsmTileSize = pi::Point2ll(size.x / kPixelsPerCell, size.y / kPixelsPerCell);
  if (stop_) return false;
  const long long f = 1LL << (placement_.zoom() - sourceZoom);
  local->firstTile = pi::Point2ll(f * tile.x, f * tile.y);
  local->lastTile = pi::Point2ll(f * (tile.x + 1) - 1, f * (tile.y + 1) - 1);
  local->firstTileOrigin = projection_->tileToPixel(local->firstTile);
  local->lastTileOrigin = projection_->tileToPixel(local->lastTile);
  local->width = int32_t(f * size.x);
  local->height = int32_t(f * size.y);
  if (stop_) return false;
  const cv::Size full(local->width, local->height);
  cv::resize(dsm, local->dsm,
             cv::Size(local->width / kPixelsPerCell, local->height / kPixelsPerCell), 0, 0,
             cv::INTER_NEAREST);
  dsm.release();
  cv::resize(colour, local->dom, full, 0, 0, cv::INTER_LINEAR);
  colour.release();
  dom.release();
  cv::resize(weight, local->weight, full, 0, 0, cv::INTER_NEAREST);
  weight.release();
  return !stop_;
}
