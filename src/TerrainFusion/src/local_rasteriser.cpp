#include "src/TerrainFusion/src/local_rasteriser.h"

#include "framework/frame_image_decoding.h"
#include "framework/geodesy.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/height_grid.h"
#include "src/TerrainFusion/src/raster_colouring.h"
#include "src/TerrainFusion/src/raster_tile_grid.h"
#include "src/TerrainFusion/src/terrain_geometry.h"
#include "src/TerrainFusion/src/tile_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using tile_model::kPixelsPerCell;

// The frame's points in the run's ENU frame: x, y in metres, z as ellipsoidal height.
struct GroundPoints {
  std::vector<cv::Vec3d> points;
  double minX = std::numeric_limits<double>::max(), maxX = -std::numeric_limits<double>::max();
  double minY = std::numeric_limits<double>::max(), maxY = -std::numeric_limits<double>::max();
  double minZ = std::numeric_limits<double>::max();  // ENU height, before the shift
  double shift = 0.0;       // ENU height + curvature drop + shift = ellipsoidal height
  double meanHeight = 0.0;  // ellipsoidal
};

bool finite(const cv::Vec3d& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// The finite points of both lists in ENU with ellipsoidal heights; no points when none is
// finite.
GroundPoints groundPointsOf(const std::vector<pi::Point3d>& points,
                            const std::vector<pi::Point3d>& morePoints,
                            const TerrainPlacement& placement) {
  const cv::Matx34d enuFromWorld = placement.enuFromWorld();
  GroundPoints out;
  out.points.reserve(points.size() + morePoints.size());
  for (const std::vector<pi::Point3d>* list : {&points, &morePoints}) {
    for (const pi::Point3d& p : *list) {
      const cv::Vec3d q = terrain::apply(enuFromWorld, {p.x, p.y, p.z});
      if (!finite(q)) continue;
      out.points.push_back(q);
      out.minX = std::min(out.minX, q[0]);
      out.maxX = std::max(out.maxX, q[0]);
      out.minY = std::min(out.minY, q[1]);
      out.maxY = std::max(out.maxY, q[1]);
      out.minZ = std::min(out.minZ, q[2]);
    }
  }
  if (out.points.empty()) return out;
  // The ENU plane drops below the ellipsoid with distance; the corner fixes the offset
  // exactly, the drop does the rest point by point.
  const pi::Point3d cornerEcef =
      placement.ecefFromEnu().transformPoint({out.minX, out.maxY, out.minZ});
  const double cornerHeight = fw::ecefToGeodetic(cornerEcef.x, cornerEcef.y, cornerEcef.z).z;
  out.shift = cornerHeight - (out.minZ + terrain::curvatureDrop(out.minX, out.maxY));
  double heightSum = 0.0;
  for (cv::Vec3d& p : out.points) {
    p[2] += terrain::curvatureDrop(p[0], p[1]) + out.shift;
    heightSum += p[2];
  }
  out.meanHeight = heightSum / double(out.points.size());
  return out;
}

// Raster pixels <-> ENU, fixed by three pixels spanning the footprint at the mean height;
// `nearColumn` is the pixel column of the footprint's north-west corner. False when the
// three pixels do not span a plane.
bool pixelMapOf(const fw::PureProjection& projection, const TerrainPlacement& placement,
                const GroundPoints& ground, terrain::PixelEnuMap& map, long long& nearColumn) {
  const int zoom = placement.zoom();
  const auto geodeticOf = [&](double x, double y) {
    const pi::Point3d e =
        placement.ecefFromEnu().transformPoint({x, y, ground.meanHeight - ground.shift});
    return fw::ecefToGeodetic(e.x, e.y, e.z);
  };
  const auto enuOfPixel = [&](long long px, long long py) {
    const fw::LatLng ll = terrain::latLngOfPixel(projection, px, py, zoom);
    const pi::Point3d e = placement.enuFromEcef().transformPoint(
        fw::geodeticToECEF(ll.lat, ll.lng, ground.meanHeight));
    return cv::Vec2d(e.x, e.y);
  };
  const pi::Point3d nw = geodeticOf(ground.minX, ground.maxY);
  const pi::Point3d se = geodeticOf(ground.maxX, ground.minY);
  const pi::Point2ll p0 = projection.latLngToPixel(nw.x, nw.y, zoom);
  pi::Point2ll pf = terrain::pixelNear(projection, se.x, se.y, zoom, p0.x);
  const pi::Point2ll tile = projection.tileSize();
  if (pf.x <= p0.x) pf.x = p0.x + tile.x;
  if (pf.y <= p0.y) pf.y = p0.y + tile.y;
  const cv::Vec2d e0 = enuOfPixel(p0.x, p0.y), e1 = enuOfPixel(pf.x, p0.y),
                  e2 = enuOfPixel(p0.x, pf.y);
  const cv::Vec2d cx = (e1 - e0) * (1.0 / double(pf.x - p0.x));
  const cv::Vec2d cy = (e2 - e0) * (1.0 / double(pf.y - p0.y));
  map.enuFromPixel = cv::Matx22d(cx[0], cy[0], cx[1], cy[1]);
  map.enuOrigin = e0 - map.enuFromPixel * cv::Vec2d(double(p0.x), double(p0.y));
  const double det = cv::determinant(map.enuFromPixel);
  if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return false;
  map.pixelFromEnu = map.enuFromPixel.inv();
  nearColumn = p0.x;
  return true;
}

// Image border points sampled per edge for the ground the image sees.
constexpr int kFootprintSamplesPerEdge = 8;
// Rays are followed at most this many camera heights: an oblique view's far edge (or a ray
// above the horizon) would otherwise ask for a raster without end.
constexpr double kMaxFootprintReach = 4.0;

// Widens `box` by the ground the image's border sees on the plane at ENU height `groundZ`
// (the lowest point's), so that every raster pixel the image may colour lies inside.
void addImageFootprint(const cv::Matx33d& enuFromCameraRotation, const cv::Vec3d& cameraEnu,
                       double groundZ, const fw::Pinhole& pinhole, cv::Size image,
                       const terrain::PixelEnuMap& map, PixelBox& box) {
  const double above = cameraEnu[2] - groundZ;
  if (!(above > 0.0) || !std::isfinite(above)) return;
  const double fxinv = 1.0 / pinhole.fx, fyinv = 1.0 / pinhole.fy;
  const double reach = kMaxFootprintReach * above;
  const auto addRay = [&](double u, double v) {
    const cv::Vec3d d =
        enuFromCameraRotation *
        cv::Vec3d(fw::rayOfPixel(u, pinhole.cx, fxinv), fw::rayOfPixel(v, pinhole.cy, fyinv), 1.0);
    const double length = cv::norm(d);
    if (!(length > 0.0) || !std::isfinite(length)) return;
    const double t = -above / d[2];  // along d to the ground plane
    const double along = t > 0.0 && std::isfinite(t) ? std::min(t * length, reach) : reach;
    const cv::Vec3d hit = cameraEnu + d * (along / length);
    const cv::Vec2d pixel = map.pixel(hit[0], hit[1]);
    box.add(pixel[0], pixel[1]);
  };
  const double right = image.width - 0.5, bottom = image.height - 0.5;
  for (int i = 0; i <= kFootprintSamplesPerEdge; ++i) {
    const double f = double(i) / kFootprintSamplesPerEdge;
    addRay(-0.5 + f * image.width, -0.5);
    addRay(-0.5 + f * image.width, bottom);
    addRay(-0.5, -0.5 + f * image.height);
    addRay(right, -0.5 + f * image.height);
  }
}

// Where the camera stands over the raster.
struct CameraOverGround {
  cv::Matx34d cameraFromEnu;
  cv::Vec3d enu;     // the camera's ENU position
  double gsd = 0.0;  // metres per image pixel at the mean height
};

// The tiles of the frame's raster: those of its points, widened to the ground the image sees
// when that fits, so that the frame's DOM ends where its image does and not on the border of
// its points' tiles. False, with the reason in `failure`, when not even the points' tiles
// fit: a raster far larger than the frame can fill (a far outlier) is refused before
// allocating.
bool chooseTiles(const fw::PureProjection& projection, int zoom,
                 const terrain_memory::Settings& memory, const RasterFrame& frame,
                 const GroundPoints& ground, const terrain::PixelEnuMap& map, long long nearColumn,
                 const CameraOverGround& camera, const PixelBox& pointsBox, pi::Point2ll& firstTile,
                 pi::Point2ll& lastTile, std::string& failure) {
  const pi::Point2ll tile = projection.tileSize();
  const RasterTileGrid grid(tile, projection.maxTile(zoom), nearColumn);
  const double pointPixels = grid.span(pointsBox, firstTile, lastTile);
  const double limit =
      rasterPixelLimit(double(frame.imageSize.area()), camera.gsd, map.columnStep(), tile);
  if (pointPixels > limit) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame.id << " would need a "
                          << (lastTile.x - firstTile.x + 1) * tile.x << " x "
                          << (lastTile.y - firstTile.y + 1) * tile.y << " raster (limit " << limit
                          << " pixels); a point lies far off the frame's footprint";
    failure = "point far off the footprint";
    return false;
  }
  const std::string memoryError = terrain_memory::frameError(memory, pointPixels);
  if (!memoryError.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame.id << " at zoom " << zoom
                          << ": " << memoryError;
    failure = "insufficient memory";
    return false;
  }
  PixelBox seenBox = pointsBox;
  const cv::Matx33d cameraFromEnuRotation = camera.cameraFromEnu.get_minor<3, 3>(0, 0);
  addImageFootprint(cameraFromEnuRotation.inv(), camera.enu, ground.minZ, frame.pinhole,
                    frame.imageSize, map, seenBox);
  pi::Point2ll first, last;
  const double seenPixels = grid.span(seenBox, first, last);
  if (seenPixels <= limit && terrain_memory::frameError(memory, seenPixels).empty()) {
    firstTile = first;
    lastTile = last;
  }
  return true;
}

RasterLayout layoutOf(const pi::Point2ll& firstTile, const pi::Point2ll& lastTile,
                      const pi::Point2ll& tile, const terrain::PixelEnuMap& map) {
  RasterLayout l;
  l.firstTile = firstTile;
  l.lastTile = lastTile;
  l.tile = tile;
  l.width = (lastTile.x - firstTile.x + 1) * tile.x;
  l.height = (lastTile.y - firstTile.y + 1) * tile.y;
  l.columns = int(l.width / kPixelsPerCell);
  l.rows = int(l.height / kPixelsPerCell);
  l.origin = pi::Point2ll(firstTile.x * tile.x, firstTile.y * tile.y);
  l.originEnu = map.enu(double(l.origin.x), double(l.origin.y));
  l.enuFromPixel = map.enuFromPixel;
  l.columnStep = map.columnStep();
  l.rowStep = map.rowStep();
  return l;
}

// The points on the raster's own axes (x along columns, y against rows, in metres) with their
// heights, as the height grid takes them. Lets go of the points' other copy. Each point's
// raster pixel is worked out again rather than kept from the tile choice: a 12-megapixel
// frame's millions of them would hold tens of megabytes more at the frame's peak.
cv::Mat pointsOnRasterAxes(GroundPoints& ground, const terrain::PixelEnuMap& map,
                           const RasterLayout& layout) {
  const double r = layout.columnStep, rowStep = layout.rowStep;
  cv::Mat grid(int(ground.points.size()), 1, CV_32FC3);
  for (size_t i = 0; i < ground.points.size(); ++i) {
    const cv::Vec2d pixel = map.pixel(ground.points[i][0], ground.points[i][1]);
    grid.at<cv::Vec3f>(int(i)) =
        cv::Vec3f(float(layout.originEnu[0] + (pixel[0] - double(layout.origin.x)) * r),
                  float(layout.originEnu[1] - (pixel[1] - double(layout.origin.y)) * rowStep),
                  float(ground.points[i][2]));
  }
  ground.points.clear();
  ground.points.shrink_to_fit();
  return grid;
}

// The height grid (one cell per kPixelsPerCell x kPixelsPerCell pixels) and its cell weights.
bool heightsOf(cv::Mat& points, const RasterLayout& layout, cv::Mat& heights,
               cv::Mat& cellWeights) {
  std::vector<fw::GImage> grids;
  if (!fillHeightGrid(fw::GImage(points), grids, layout.originEnu[0], layout.originEnu[1],
                      layout.columns, layout.rows, kPixelsPerCell * layout.columnStep,
                      kPixelsPerCell * layout.rowStep)) {
    return false;
  }
  points.release();
  heights = cv::Mat(grids[0]).clone();
  cellWeights = cv::Mat(grids[1]);
  return true;
}

void fillRecord(const RasterLayout& layout, double meanHeight, cv::Mat dom, cv::Mat weight,
                cv::Mat heights, LocalRasters& out) {
  const pi::Point2ll& tile = layout.tile;
  out.firstTile = layout.firstTile;
  out.lastTile = layout.lastTile;
  out.firstTileOrigin = layout.origin;
  out.lastTileOrigin = pi::Point2ll(layout.lastTile.x * tile.x, layout.lastTile.y * tile.y);
  out.width = int32_t(layout.width);
  out.height = int32_t(layout.height);
  out.tileSize = tile;
  out.dsmTileSize = pi::Point2ll(tile.x / kPixelsPerCell, tile.y / kPixelsPerCell);
  out.dom = dom;
  out.weight = weight;
  out.dsm = heights;
  out.meanHeight = meanHeight;
  out.cellSize = kPixelsPerCell * layout.columnStep;
}

// The colour lookup of the frame over `layout`, its image decoded only as finely as the
// DOM needs; the decoded image is let go on return, before the height grid takes its
// memory. False, with the reason in `failure`, when the image cannot be had.
bool lookupOf(const RasterFrame& frame, const CameraOverGround& camera, const RasterLayout& layout,
              ColourLookup& lookup, std::string& failure) {
  const double footprint = footprintPixelsOf(layout, camera.gsd);
  const int factor = fw::decodeReductionFor(FootprintSampler::reductionFor(footprint));
  DecodedImage decoded;
  failure = frame.decode(factor, decoded);
  if (!failure.empty()) return false;
  setUpColourLookup(decoded, frame.imageSize, frame.pinhole, camera.cameraFromEnu, camera.gsd,
                    layout, lookup);
  return true;
}

}  // namespace

bool LocalRasteriser::rasterise(const RasterFrame& frame, const std::vector<pi::Point3d>& points,
                                LocalRasters& out,
                                const std::vector<pi::Point3d>& morePoints) const {
  // Reconstruction -> ENU, and the way back to the camera for the colour lookup.
  cv::Matx34d worldFromEnu;
  if (!placement_.worldFromEnu(worldFromEnu)) return false;
  CameraOverGround camera;
  camera.cameraFromEnu =
      terrain::compose(terrain::matrixOf(frame.worldFromCamera.inverse()), worldFromEnu);
  GroundPoints ground = groundPointsOf(points, morePoints, placement_);
  if (ground.points.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame.id
                          << " has no finite point";
    out.failure = "no finite point";
    return false;
  }
  terrain::PixelEnuMap map;
  long long nearColumn = 0;
  if (!pixelMapOf(projection_, placement_, ground, map, nearColumn)) return false;
  PixelBox pointsBox;
  for (const cv::Vec3d& p : ground.points) {
    const cv::Vec2d pixel = map.pixel(p[0], p[1]);
    pointsBox.add(pixel[0], pixel[1]);
  }
  const pi::Point3d& t = frame.worldFromCamera.t;
  camera.enu = terrain::apply(placement_.enuFromWorld(), {t.x, t.y, t.z});
  const double cameraHeight =
      camera.enu[2] + terrain::curvatureDrop(camera.enu[0], camera.enu[1]) + ground.shift;
  camera.gsd =
      fw::groundSampleDistance(std::fabs(cameraHeight - ground.meanHeight), frame.pinhole.fx);

  pi::Point2ll firstTile, lastTile;
  if (!chooseTiles(projection_, placement_.zoom(), memory_, frame, ground, map, nearColumn, camera,
                   pointsBox, firstTile, lastTile, out.failure)) {
    return false;
  }
  const RasterLayout layout = layoutOf(firstTile, lastTile, projection_.tileSize(), map);
  ColourLookup lookup;
  if (!lookupOf(frame, camera, layout, lookup, out.failure)) return false;

  cv::Mat grid = pointsOnRasterAxes(ground, map, layout);
  if (stop_) return false;
  cv::Mat heights, cellWeights;
  if (!heightsOf(grid, layout, heights, cellWeights)) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame.id
                          << " has no point on its raster";
    out.failure = "no point on its raster";
    return false;
  }
  cv::Mat dom(int(layout.height), int(layout.width), CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat weight(int(layout.height), int(layout.width), CV_8UC1, cv::Scalar(0));
  colourRaster(lookup, layout, heights, cellWeights, ground.meanHeight, ground.shift, dom, weight);
  fillRecord(layout, ground.meanHeight, dom, weight, heights, out);
  return !stop_;
}
