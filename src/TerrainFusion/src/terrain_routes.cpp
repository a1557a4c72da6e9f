#include "framework/config_store.h"
#include "framework/geodesy.h"
#include "framework/key_point_geometry.h"
#include "framework/log.h"
#include "src/PointsFusion/src/dbscan.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/height_outliers.h"
#include "src/TerrainFusion/src/level_gaps.h"
#include "src/TerrainFusion/src/route_weights.h"
#include "src/TerrainFusion/src/sparse_surface.h"
#include "src/TerrainFusion/src/terrain_geometry.h"
#include "tiles/atomic_file.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <optional>

namespace {

// Depths join a cluster with at least this many others within a tenth of the depth span.
constexpr int kDepthClusterMinPoints = 20;
constexpr double kDepthClusterSpanShare = 10.0;

// Image pixels between the interpolated points of a frame's sparse surface: about one per
// DSM cell (4 DOM pixels, at a zoom near the frame's own resolution).
constexpr int kSurfaceStep = 4;

// A dense frame's sparse surface stays this many image pixels away from its dense points, and
// its dense heights reach this many DSM cells beyond their own: the height grid closes gaps
// of that size between its points.
constexpr int kBareReach = 16;
constexpr int kDenseCellReach = 2;

// Metres a height only its own image pair confirmed may lie off the frame's sparse surface
// beyond the pair's depth error: the surface spans its key points with flat triangles and
// misses the relief between them.
constexpr double kPairOnlySurfaceSlack = 3.0;

// Rise over run beyond which a dense frame's sparse fill leaves a triangle out: steeper than
// farmland and gentle hills, shallower than the ramps a roof's or a bank's key points joined
// to the ground's make. Where the fill leaves ground bare, other frames' heights or none
// stand there, rather than a ramp metres off.
constexpr double kFillMaxSlope = 0.5;

// The relief limit of a dense frame's sparse fill, up taken from the run's placement; no
// limit before the placement gives one.
SurfaceRelief fillRelief(const TerrainPlacement& placement) {
  const cv::Matx34d enuFromWorld = placement.enuFromWorld();
  const cv::Vec3d up(enuFromWorld(2, 0), enuFromWorld(2, 1), enuFromWorld(2, 2));
  const double length = cv::norm(up);
  if (!(length > 0.0) || !std::isfinite(length)) return {};
  return {up / length, kFillMaxSlope};
}

// The frame's observed map points as depth samples of its image.
std::vector<DepthSample> observedSamples(fw::MapFrame& frame) {
  std::vector<DepthSample> samples;
  for (const auto& observation : frame.getObservations()) {
    const int index = static_cast<int>(observation.second);
    const std::optional<double> depth = fw::keyPointDepth(frame, index);
    cv::Point2f position;
    if (!depth || !frame.getKeyPointPosition(index, position)) continue;
    samples.push_back({position, *depth});
  }
  return samples;
}

// The samples whose depth lies strictly inside the span of the clustered depths.
std::vector<DepthSample> clusteredDepthSamples(const std::vector<DepthSample>& samples) {
  std::vector<DepthSample> kept;
  if (samples.empty()) return kept;
  std::vector<double> depths;
  for (const DepthSample& s : samples) depths.push_back(s.depth);
  const auto [smallest, largest] = std::minmax_element(depths.begin(), depths.end());
  DBSCAN dbscan;
  dbscan.Run(depths, 1, (*largest - *smallest) / kDepthClusterSpanShare, kDepthClusterMinPoints);
  double low = 1e9, high = 0.0;
  for (const auto& cluster : dbscan.clusters) {
    for (uint32_t i : cluster) {
      low = std::min(low, depths[i]);
      high = std::max(high, depths[i]);
    }
  }
  for (const DepthSample& s : samples) {
    if (s.depth > low && s.depth < high) kept.push_back(s);
  }
  return kept;
}

// The DSM as 8-bit grey from its min to its max; black when it is flat.
cv::Mat demImage(const cv::Mat& dsm) {
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(dsm, &lo, &hi);
  cv::Mat grey;
  if (hi > lo) {
    dsm.convertTo(grey, CV_8U, 255.0 / (hi - lo), -lo * 255.0 / (hi - lo));
  } else {
    grey = cv::Mat::zeros(dsm.size(), CV_8U);
  }
  return grey;
}

// A debug image, written like every product file (never through a link); a failed write
// changes nothing else.
void saveDebugImage(const std::string& path, const cv::Mat& image) {
  std::vector<uint8_t> bytes;
  try {
    if (!cv::imencode(".jpg", image, bytes)) return;
  } catch (const cv::Exception&) {
    return;
  }
  std::string error;
  tile_files::writeFileAtomically(path, bytes.data(), bytes.size(), error);
}

// Where world points fall on a local raster's DSM cells (x along columns, y along rows).
std::vector<cv::Point2d> cellPositions(const fw::PureProjection& projection,
                                       const TerrainPlacement& placement,
                                       const TerrainFusion::LocalDSMData& local,
                                       const std::vector<pi::Point3d>& points) {
  std::vector<cv::Point2d> cells;
  if (local.dsm.empty() || local.width < 1 || local.height < 1) return cells;
  // The raster's own map from ENU metres to Web-Mercator pixels: linear, fixed by three of
  // its pixels at its mean height.
  const pi::Point2ll origin = local.firstTileOrigin;
  const int zoom = placement.zoom();
  const SE3& enuFromEcef = placement.enuFromEcef();
  const auto enuOfPixel = [&](long long px, long long py) {
    const fw::LatLng ll = terrain::latLngOfPixel(projection, px, py, zoom);
    const pi::Point3d e =
        enuFromEcef.transformPoint(fw::geodeticToECEF(ll.lat, ll.lng, local.meanHeight));
    return cv::Vec2d(e.x, e.y);
  };
  const cv::Vec2d e0 = enuOfPixel(origin.x, origin.y);
  const cv::Vec2d e1 = enuOfPixel(origin.x + local.width, origin.y);
  const cv::Vec2d e2 = enuOfPixel(origin.x, origin.y + local.height);
  const cv::Vec2d cx = (e1 - e0) * (1.0 / local.width), cy = (e2 - e0) * (1.0 / local.height);
  const cv::Matx22d enuFromPixel(cx[0], cy[0], cx[1], cy[1]);
  const double det = cv::determinant(enuFromPixel);
  if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return cells;
  const cv::Matx22d pixelFromEnu = enuFromPixel.inv();
  const cv::Matx34d enuFromWorld = placement.enuFromWorld();
  cells.reserve(points.size());
  for (const pi::Point3d& p : points) {
    const cv::Vec3d q = terrain::apply(enuFromWorld, {p.x, p.y, p.z});
    const cv::Vec2d pixel = pixelFromEnu * (cv::Vec2d(q[0], q[1]) - e0);
    cells.emplace_back(pixel[0] / tile_model::kPixelsPerCell,
                       pixel[1] / tile_model::kPixelsPerCell);
  }
  return cells;
}

}  // namespace

bool TerrainFusion::placeInOrder(const std::shared_ptr<fw::MapFrame>& frame, IntakeTicket& ticket) {
  bool fixed = false;
  {
    std::lock_guard<std::mutex> lock(zoomMutex_);
    fixed = placement_.placed();
  }
  // Once fixed, nothing a frame does here depends on the others. Before, the first frame in
  // the intake order that can place the run does, whichever worker gets there first.
  if (!fixed) ticket.waitPlacementTurn();
  const bool placed = fixPlacementAndZoom(frame);
  ticket.passPlacement();
  if (!placed) ticket.fail("no placement (GPS or ground plane)");
  return placed;
}

bool TerrainFusion::fuseMapFrame(const std::shared_ptr<fw::MapFrame>& frame, IntakeTicket* given) {
  std::shared_ptr<IntakeTicket> own;
  IntakeTicket& ticket = ticketOr(given, own);
  if (!frame) {
    ticket.fail("no frame");
    return false;
  }
  FW_LOG(fw::kLogInfo) << "Terrainfusion is working on " << frame->id;
  if (frame->keyPointCount() < 1) {
    FW_LOG(fw::kLogError) << "Too few key points";
    ticket.fail("too few key points");
    return false;
  }
  if (!placeInOrder(frame, ticket)) return false;
  auto local = std::make_shared<LocalDSMData>();
  const std::vector<DepthSample> kept = clusteredDepthSamples(observedSamples(*frame));
  if (kept.empty()) local->failure = "too few map points";
  const std::vector<pi::Point3d> surface =
      sparseSurface(kept, frame->getCamera(0), frame->getPoseSE3(), kSurfaceStep);
  const bool built = makeMap_idw(frame, local, surface);
  if (built) rankWeights(local->weight, local->dsm, HeightSource::kSparse);
  local->levelToStored = true;
  return tileLocalRasters(built, frame->id, local, ticket);
}

bool TerrainFusion::fusePointCloud(const std::shared_ptr<fw::MapFrame>& frame,
                                   const std::vector<pi::Point3d>& points, IntakeTicket* given,
                                   double depthError,
                                   const std::vector<pi::Point3d>& pairOnlyGiven) {
  std::shared_ptr<IntakeTicket> own;
  IntakeTicket& ticket = ticketOr(given, own);
  if (!frame) {
    ticket.fail("no frame");
    return false;
  }
  if (!placeInOrder(frame, ticket)) return false;
  if (stop_) return false;
  auto local = std::make_shared<LocalDSMData>();
  // Where the pair's depth map left the frame's ground bare, its own sparse surface gives the
  // heights (and the DOM its surface), ranked below every dense height.
  const fw::Camera camera = frame->getCamera(0);
  const SE3 pose = frame->getPoseSE3();
  const std::vector<DepthSample> samples = clusteredDepthSamples(observedSamples(*frame));
  // Heights that only the frame's own image pair confirmed repeat one matching: where they
  // leave the level of the frame's own sparse surface (its map points, each matched in
  // several images) they are that matching's slips, and the surface stands in for them.
  // The level surface is drafted so that the fill, over less bare ground, is drawn from it.
  std::vector<pi::Point3d> pairOnly;
  DenseCover cover(points, camera, pose, kBareReach);
  const SurfaceRelief relief = fillRelief(placement_);
  std::optional<SurfaceDraft> level;
  if (!pairOnlyGiven.empty()) {
    level.emplace(samples, camera, pose, kSurfaceStep, cover, relief);
    pairOnly =
        pointsNearSurface(pairOnlyGiven, level->points(), camera, pose, kSurfaceStep,
                          kPairOnlySurfaceSlack + height_outliers::strayTolerance(depthError, 0.0));
    if (pairOnly.size() < pairOnlyGiven.size()) {
      FW_LOG(fw::kLogInfo) << "TerrainFusion: frame " << frame->id << ": "
                           << pairOnlyGiven.size() - pairOnly.size() << " of "
                           << pairOnlyGiven.size()
                           << " points its own pair alone confirmed lie off its sparse surface";
    }
  }
  // Both kinds of dense points are measured ground. A frame has mostly one kind (the cleaner
  // compares it with the next frame alone), so a joined copy is rarely made.
  std::vector<pi::Point3d> joined;
  if (!points.empty() && !pairOnly.empty()) {
    joined.reserve(points.size() + pairOnly.size());
    joined.insert(joined.end(), points.begin(), points.end());
    joined.insert(joined.end(), pairOnly.begin(), pairOnly.end());
  }
  const std::vector<pi::Point3d>& measured =
      pairOnly.empty() ? points : (points.empty() ? pairOnly : joined);
  // The fill covers what neither kind of dense point covers; the points' own cover is kept
  // and only the few pair-only points are projected onto it.
  if (!pairOnly.empty()) cover = cover.joinedWith(pairOnly, camera, pose);
  const std::vector<pi::Point3d> fill =
      level ? level->narrowed(cover)
            : sparseSurface(samples, camera, pose, kSurfaceStep, cover, relief);
  level.reset();  // up to a grid point every few pixels of the image: not kept while mapping
  // The fill goes beside the points, not into a copy of them: a 12-megapixel frame's cloud
  // is tens of megabytes.
  const bool built = makeMap_idw(frame, local, measured, fill);
  const auto cellsOf = [&](const std::vector<pi::Point3d>& dense) {
    return denseCells(projection_ ? cellPositions(*projection_, placement_, *local, dense)
                                  : std::vector<cv::Point2d>(),
                      local->dsm.size(), kDenseCellReach);
  };
  if (built && fill.empty() && pairOnly.empty())
    rankWeights(local->weight, local->dsm, HeightSource::kDense);
  else if (built && pairOnly.empty())
    rankWeights(local->weight, local->dsm, cellsOf(points));
  else if (built)
    rankWeights(local->weight, local->dsm, cellsOf(points), cellsOf(pairOnly));
  if (built) local->strayTolerance = height_outliers::strayTolerance(depthError, local->cellSize);
  return tileLocalRasters(built, frame->id, local, ticket);
}

bool TerrainFusion::fuseDsmDom(uint32_t id, const pi::Point2ll& tile, int32_t zoom,
                               int32_t zoomOffset, const std::shared_ptr<fw::MapFrame>& frame,
                               cv::Mat& dsm, cv::Mat& dom, cv::Mat& weight, IntakeTicket* given) {
  std::shared_ptr<IntakeTicket> own;
  IntakeTicket& ticket = ticketOr(given, own);
  if (zoom < 0 || static_cast<int64_t>(zoom) + zoomOffset < 0) {
    FW_LOG(fw::kLogError) << "Invalid DSM/DOM was passed in - Tile ID: " << id << " (zoom " << zoom
                          << " with offset " << zoomOffset << " is below 0)";
    ticket.fail("invalid ready rasters");
    return false;
  }
  {
    bool fixed = false;
    {
      std::lock_guard<std::mutex> lock(zoomMutex_);
      fixed = placement_.readyRasterZoomFixed();
    }
    if (!fixed) ticket.waitPlacementTurn();
    fixZoomFromReadyRasters(zoom, zoomOffset);
    ticket.passPlacement();
  }
  if (stop_) return false;
  auto local = std::make_shared<LocalDSMData>();
  const bool built = makeMapFromDsmDom(id, tile, zoom, frame, local, dsm, dom, weight);
  if (built) rankWeights(local->weight, local->dsm, HeightSource::kDense);
  return tileLocalRasters(built, id, local, ticket);
}

void TerrainFusion::judgeHeights(uint64_t id, LocalDSMData& local,
                                 const height_outliers::StoredCells& tiles) {
  const cv::Mat stored = height_outliers::heightsWeighingAtLeast(tiles, kDenseWeightFloor);
  // A sparse frame takes the level of the stored heights; a dense one only when its pose
  // lifted or sank its whole surface off them: its heights would all be strays where heights
  // are stored, and a slab beside them where none are.
  const float offset = local.levelToStored
                           ? height_outliers::offsetToStored(local.dsm, stored)
                           : height_outliers::liftToStored(local.dsm, stored, local.strayTolerance);
  if (offset != 0.0f) {
    cv::add(local.dsm, cv::Scalar(offset), local.dsm, local.dsm > TerrainFusion::kNoHeight);
    FW_LOG(fw::kLogInfo) << "TerrainFusion: frame " << id << ": its "
                         << (local.levelToStored ? "sparse " : "") << "heights moved by " << offset
                         << " m to the level of the stored ones";
  }
  int dropped =
      height_outliers::dropStrayHeights(local.dsm, local.weight, stored, local.strayTolerance);
  // A height only the frame's own pair measured is judged by the heights other pairs measured
  // alone too: a slip of one pair (ground without texture along its baseline, an image's
  // edge) lies metres off the level ground the other pairs agree on there.
  if (local.strayTolerance > 0.0f) {
    const cv::Mat measured = height_outliers::heightsWeighingAtLeast(tiles, kPairOnlyWeightFloor);
    dropped += height_outliers::dropStrayHeights(local.dsm, local.weight, measured,
                                                 local.strayTolerance, kDenseWeightFloor);
  }
  if (dropped > 0) {
    FW_LOG(fw::kLogInfo) << "TerrainFusion: frame " << id << ": " << dropped
                         << " DSM cells more than " << local.strayTolerance
                         << " m off the stored heights left out";
  }
}

void TerrainFusion::fillLevelGaps(uint64_t id, LocalDSMData& local,
                                  const height_outliers::StoredCells& tiles) {
  const int filled = level_gaps::fillLevelGaps(
      local.dsm, local.weight, height_outliers::heightsWeighingAtLeast(tiles, 1), local.gapCells);
  if (filled > 0) {
    FW_LOG(fw::kLogInfo) << "TerrainFusion: frame " << id << ": " << filled
                         << " DSM cells between level heights filled";
  }
}

bool TerrainFusion::tileLocalRasters(bool built, uint64_t id,
                                     const std::shared_ptr<LocalDSMData>& local,
                                     IntakeTicket& ticket) {
  if (!built) {
    FW_LOG(fw::kLogError) << "Failed generate map.";
    ticket.fail(local && !local->failure.empty() ? local->failure : "no local raster");
    return false;
  }
  if (stop_) return false;
  if (*fw::Var::instance().GetInt("pointsfusion.save_local", 0) != 0) {
    const std::string name = workFolder_ + "/" + std::to_string(id);
    saveDebugImage(name + "_dom.jpg", local->dom);
    saveDebugImage(name + "_weight.jpg", local->weight);
    saveDebugImage(name + "_dem.jpg", demImage(local->dsm));
  }
  if (stop_) return false;
  bool tiled = true;
  // Tiles take the frames one at a time in the intake order: blending, stitching and the
  // lower zooms then give the same tiles whatever the workers' timing.
  ticket.waitMergeTurn();
  if (tileManager_ &&
      (options_.renderMode == kRenderStitchDsm || options_.renderMode == kRenderBlendTiles)) {
    TileAccess access(tileManager_, tileLocks_);
    const height_outliers::StoredCells tiles =
        height_outliers::storedCells(access, local->firstTile, local->lastTile, placement_.zoom());
    if (local->strayTolerance > 0.0f || local->levelToStored) judgeHeights(id, *local, tiles);
    fillLevelGaps(id, *local, tiles);
  }
  if (options_.renderMode == kRenderStitchDsm) {
    tiled = stitchDSM(local);
  } else if (options_.renderMode == kRenderBlendTiles) {
    tiled = generateTiles(local);
  }
  ticket.passMerge();
  if (!tiled) {
    FW_LOG(fw::kLogError) << "Stitch DSM error.";
    ticket.fail(!local->failure.empty() ? local->failure : "tiling failed");
    return false;
  }
  return true;
}
