#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/geodesy.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/footprint_sampler.h"
#include "src/TerrainFusion/src/terrain_geometry.h"
#include "src/TerrainFusion/src/terrain_memory.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace {

constexpr int kCellPixels = 4;           // DOM pixels per DSM cell along each axis
constexpr double kEmptyCell = -10000.0;  // DSM cells below this have no height
constexpr int kSearchRadius = 100;
// A local raster may hold at most this many times the frame's pixels, scaled up by the
// square of (frame GSD / raster resolution) when the raster is coarser than the frame; one
// far outlier would otherwise cost gigabytes.
constexpr double kMaxPixelsPerImagePixel = 16.0;
// A small frame's footprint still straddles up to 3 x 3 tiles.
constexpr long long kMinLimitTiles = 9;

struct EnuPoints {
  std::vector<cv::Vec3d> points;  // x, y in ENU metres; z ellipsoidal height
  double minX = std::numeric_limits<double>::max(), maxX = -std::numeric_limits<double>::max();
  double minY = std::numeric_limits<double>::max(), maxY = -std::numeric_limits<double>::max();
  double minZ = std::numeric_limits<double>::max();
};

bool finite(const cv::Vec3d& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

EnuPoints toEnu(const std::vector<pi::Point3d>& points, const cv::Matx34d& enuFromWorld) {
  EnuPoints out;
  out.points.reserve(points.size());
  for (const pi::Point3d& p : points) {
    const cv::Vec3d q = terrain::apply(enuFromWorld, {p.x, p.y, p.z});
    if (!finite(q)) continue;
    out.points.push_back(q);
    out.minX = std::min(out.minX, q[0]);
    out.maxX = std::max(out.maxX, q[0]);
    out.minY = std::min(out.minY, q[1]);
    out.maxY = std::max(out.maxY, q[1]);
    out.minZ = std::min(out.minZ, q[2]);
  }
  return out;
}

// A box of raster pixel positions.
struct PixelBox {
  double minX = std::numeric_limits<double>::max(), maxX = -std::numeric_limits<double>::max();
  double minY = std::numeric_limits<double>::max(), maxY = -std::numeric_limits<double>::max();
  void add(const cv::Vec2d& p) {
    minX = std::min(minX, p[0]);
    maxX = std::max(maxX, p[0]);
    minY = std::min(minY, p[1]);
    maxY = std::max(maxY, p[1]);
  }
};

// Image border points sampled per edge for the ground the image sees.
constexpr int kFootprintSamplesPerEdge = 8;
// Rays are followed at most this many camera heights: an oblique view's far edge (or a ray
// above the horizon) would otherwise ask for a raster without end.
constexpr double kMaxFootprintReach = 4.0;

// Widens `box` by the ground the image's border sees on the plane at ENU height `groundZ`
// (the lowest point's), so that every raster pixel the image may colour lies inside.
void addImageFootprint(const cv::Matx33d& enuFromCameraRotation, const cv::Vec3d& cameraEnu,
                       double groundZ, const std::vector<double>& intrinsics, cv::Size image,
                       const terrain::PixelEnuMap& map, PixelBox& box) {
  const double above = cameraEnu[2] - groundZ;
  if (!(above > 0.0) || !std::isfinite(above)) return;
  const double fx = intrinsics[2], fy = intrinsics[3], cx = intrinsics[4], cy = intrinsics[5];
  const double reach = kMaxFootprintReach * above;
  const auto addRay = [&](double u, double v) {
    const cv::Vec3d d = enuFromCameraRotation * cv::Vec3d((u - cx) / fx, (v - cy) / fy, 1.0);
    const double length = cv::norm(d);
    if (!(length > 0.0) || !std::isfinite(length)) return;
    const double t = -above / d[2];  // along d to the ground plane
    const double along = t > 0.0 && std::isfinite(t) ? std::min(t * length, reach) : reach;
    const cv::Vec3d hit = cameraEnu + d * (along / length);
    box.add(map.pixel(hit[0], hit[1]));
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

}  // namespace

bool TerrainFusion::makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame,
                                const std::shared_ptr<LocalDSMData>& local,
                                const std::vector<pi::Point3d>& points) {
  if (!frame || !local) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: no frame or no raster record";
    return false;
  }
  if (points.empty()) {
    FW_LOG(fw::kLogError) << "Zero point was passed in - Frame ID: " << frame->id
                          << " Point Cnt: " << points.size();
    if (local->failure.empty()) local->failure = "no points";
    return false;
  }
  if (!projection_) return false;
  const fw::Camera camera = frame->getCamera(0);
  const std::vector<double> intrinsics = camera.getParameters();
  if (intrinsics.size() < 6 || !(intrinsics[2] != 0.0) || !(intrinsics[3] != 0.0)) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no usable camera " << camera.info();
    local->failure = "unusable camera";
    return false;
  }
  cv::Mat image = loadFrameImage(frame);
  if (image.empty()) {
    local->failure = "image unreadable";
    return false;
  }
  if (image.cols != camera.width() || image.rows != camera.height()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: image of frame " << frame->id << " is "
                          << image.cols << " x " << image.rows << ", its camera " << camera.width()
                          << " x " << camera.height();
    local->failure = "image size differs from the camera's";
    return false;
  }
  cv::Mat seen;  // empty: every pixel of the image has content
  if (camera.typeName() != "PinHole") {
    image = undistortedImage(camera, image, seen);
    if (image.empty()) {
      FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                            << " could not be undistorted";
      local->failure = "image could not be undistorted";
      return false;
    }
  }
  local->timestamp = frame->timestamp;
  if (stop_) return false;

  // Reconstruction -> ENU, and the way back to the camera for the colour lookup.
  cv::Matx34d worldFromEnu, placementInverse;
  if (!terrain::inverseMatrixOf(localPlacement_, placementInverse)) return false;
  const cv::Matx34d enuFromWorld =
      terrain::compose(terrain::matrixOf(enuFrameInverse_), terrain::matrixOf(localPlacement_));
  worldFromEnu = terrain::compose(placementInverse, terrain::matrixOf(enuFrame_));
  const SE3 pose = frame->getPoseSE3();
  const cv::Matx34d cameraFromEnu =
      terrain::compose(terrain::matrixOf(pose.inverse()), worldFromEnu);

  EnuPoints enu = toEnu(points, enuFromWorld);
  if (enu.points.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no finite point";
    local->failure = "no finite point";
    return false;
  }
  // Ellipsoidal heights: the ENU plane drops below the ellipsoid with distance; the corner
  // fixes the offset exactly, the drop does the rest point by point.
  const pi::Point3d cornerEcef = enuFrame_.transformPoint({enu.minX, enu.maxY, enu.minZ});
  const double cornerHeight = fw::ecefToGeodetic(cornerEcef.x, cornerEcef.y, cornerEcef.z).z;
  const double shift = cornerHeight - (enu.minZ + terrain::curvatureDrop(enu.minX, enu.maxY));
  double heightSum = 0.0;
  for (cv::Vec3d& p : enu.points) {
    p[2] += terrain::curvatureDrop(p[0], p[1]) + shift;
    heightSum += p[2];
  }
  const double meanHeight = heightSum / double(enu.points.size());

  // Raster pixels <-> ENU, fixed by three pixels spanning the footprint at the mean height.
  const int zoom = zoomLevel_;
  const auto geodeticOf = [&](double x, double y) {
    const pi::Point3d e = enuFrame_.transformPoint({x, y, meanHeight - shift});
    return fw::ecefToGeodetic(e.x, e.y, e.z);
  };
  const auto enuOfPixel = [&](long long px, long long py) {
    const fw::LatLng ll = terrain::latLngOfPixel(*projection_, px, py, zoom);
    const pi::Point3d e =
        enuFrameInverse_.transformPoint(fw::geodeticToECEF(ll.lat, ll.lng, meanHeight));
    return cv::Vec2d(e.x, e.y);
  };
  const pi::Point3d nw = geodeticOf(enu.minX, enu.maxY), se = geodeticOf(enu.maxX, enu.minY);
  const pi::Point2ll p0 = projection_->latLngToPixel(nw.x, nw.y, zoom);
  pi::Point2ll pf = terrain::pixelNear(*projection_, se.x, se.y, zoom, p0.x);
  const pi::Point2ll tile = projection_->tileSize();
  if (pf.x <= p0.x) pf.x = p0.x + tile.x;
  if (pf.y <= p0.y) pf.y = p0.y + tile.y;
  terrain::PixelEnuMap map;
  {
    const cv::Vec2d e0 = enuOfPixel(p0.x, p0.y), e1 = enuOfPixel(pf.x, p0.y),
                    e2 = enuOfPixel(p0.x, pf.y);
    const cv::Vec2d cx = (e1 - e0) * (1.0 / double(pf.x - p0.x));
    const cv::Vec2d cy = (e2 - e0) * (1.0 / double(pf.y - p0.y));
    map.enuFromPixel = cv::Matx22d(cx[0], cy[0], cx[1], cy[1]);
    map.enuOrigin = e0 - map.enuFromPixel * cv::Vec2d(double(p0.x), double(p0.y));
    const double det = cv::determinant(map.enuFromPixel);
    if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return false;
    map.pixelFromEnu = map.enuFromPixel.inv();
  }

  // Pixel box of every point.
  PixelBox pointsBox;
  std::vector<cv::Vec2d> pixels(enu.points.size());
  for (size_t i = 0; i < enu.points.size(); ++i) {
    pixels[i] = map.pixel(enu.points[i][0], enu.points[i][1]);
    pointsBox.add(pixels[i]);
  }
  const double r = map.columnStep();
  const cv::Vec3d cameraEnu = terrain::apply(
      terrain::compose(terrain::matrixOf(enuFrameInverse_), terrain::matrixOf(localPlacement_)),
      {pose.t.x, pose.t.y, pose.t.z});
  const double cameraHeight =
      cameraEnu[2] + terrain::curvatureDrop(cameraEnu[0], cameraEnu[1]) + shift;
  const double gsd = std::fabs(cameraHeight - meanHeight) / intrinsics[2];
  // The raster's tiles: those of the points, widened to the ground the image sees, so that
  // the frame's DOM ends where its image does and not on the border of its points' tiles.
  // Columns are not clamped to the map: across the antimeridian they run on.
  const pi::Point2ll lastTileOfMap = projection_->maxTile(zoom);
  const long long mapColumns = lastTileOfMap.x + 1, nearTile = p0.x / tile.x;
  const auto columnIndex = [&](double pixel) {
    const double t = std::floor(pixel / double(tile.x));
    const long long lo = nearTile - mapColumns, hi = nearTile + mapColumns;
    if (!(t > double(lo))) return lo;
    return t > double(hi) ? hi : static_cast<long long>(t);
  };
  // Clamped in double first, so that a wild point converts defined.
  const auto rowIndex = [&](double pixel) {
    const double t = std::floor(pixel / double(tile.y));
    if (!(t > 0.0)) return 0LL;
    return t > double(lastTileOfMap.y) ? lastTileOfMap.y : static_cast<long long>(t);
  };
  const auto tilesOf = [&](const PixelBox& box, pi::Point2ll& first, pi::Point2ll& last) {
    first = pi::Point2ll(columnIndex(box.minX), rowIndex(box.minY));
    last = pi::Point2ll(columnIndex(box.maxX), rowIndex(box.maxY));
    return double(last.x - first.x + 1) * double(tile.x) * double(last.y - first.y + 1) *
           double(tile.y);
  };
  pi::Point2ll firstTile, lastTile;
  const double pointPixels = tilesOf(pointsBox, firstTile, lastTile);

  // Refuse a raster far larger than the frame can fill (a far outlier) before allocating.
  const double coarser = std::isfinite(gsd / r) ? std::max(1.0, (gsd / r) * (gsd / r)) : 1.0;
  const double limit = std::min(std::max(kMaxPixelsPerImagePixel * double(image.total()) * coarser,
                                         double(kMinLimitTiles * tile.x * tile.y)),
                                double(INT32_MAX));
  if (pointPixels > limit) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id << " would need a "
                          << (lastTile.x - firstTile.x + 1) * tile.x << " x "
                          << (lastTile.y - firstTile.y + 1) * tile.y << " raster (limit " << limit
                          << " pixels); a point lies far off the frame's footprint";
    local->failure = "point far off the footprint";
    return false;
  }
  const std::string memoryError = terrain_memory::frameError(memory_, pointPixels);
  if (!memoryError.empty()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id << " at zoom "
                          << zoom << ": " << memoryError;
    local->failure = "insufficient memory";
    return false;
  }
  {
    PixelBox seenBox = pointsBox;
    const cv::Matx33d cameraFromEnuRotation = cameraFromEnu.get_minor<3, 3>(0, 0);
    addImageFootprint(cameraFromEnuRotation.inv(), cameraEnu, enu.minZ, intrinsics, image.size(),
                      map, seenBox);
    pi::Point2ll first, last;
    const double seenPixels = tilesOf(seenBox, first, last);
    // The wider raster only when it fits; the points' own tiles otherwise.
    if (seenPixels <= limit && terrain_memory::frameError(memory_, seenPixels).empty()) {
      firstTile = first;
      lastTile = last;
    }
  }
  const long long width = (lastTile.x - firstTile.x + 1) * tile.x;
  const long long height = (lastTile.y - firstTile.y + 1) * tile.y;
  const pi::Point2ll origin(firstTile.x * tile.x, firstTile.y * tile.y);
  const cv::Vec2d originEnu = map.enu(double(origin.x), double(origin.y));
  const double rowStep = map.rowStep();

  // The colour lookup, set up before the heights: the image is reduced to the DOM's
  // resolution once, and the full image is let go before the height grid needs its memory.
  const double fx = intrinsics[2], fy = intrinsics[3], cx = intrinsics[4], cy = intrinsics[5];
  const int imageW = image.cols, imageH = image.rows;
  const float radius = std::max(
      1.0f,
      float(int(std::sqrt(double((imageW / 2) * (imageW / 2) + (imageH / 2) * (imageH / 2))))));
  // Along a raster row the camera point is linear in the column and in the height:
  // c = rowStart + dx * columnStep + z * heightStep.
  const cv::Matx22d& a = map.enuFromPixel;
  const cv::Vec3d columnStep(cameraFromEnu(0, 0) * a(0, 0) + cameraFromEnu(0, 1) * a(1, 0),
                             cameraFromEnu(1, 0) * a(0, 0) + cameraFromEnu(1, 1) * a(1, 0),
                             cameraFromEnu(2, 0) * a(0, 0) + cameraFromEnu(2, 1) * a(1, 0));
  const cv::Vec3d heightStep(cameraFromEnu(0, 2), cameraFromEnu(1, 2), cameraFromEnu(2, 2));
  const cv::Vec3d rowStepInCamera(cameraFromEnu(0, 0) * a(0, 1) + cameraFromEnu(0, 1) * a(1, 1),
                                  cameraFromEnu(1, 0) * a(0, 1) + cameraFromEnu(1, 1) * a(1, 1),
                                  cameraFromEnu(2, 0) * a(0, 1) + cameraFromEnu(2, 1) * a(1, 1));
  // A DOM pixel usually spans several image pixels: its colour is their mean.
  const FootprintSampler footprint(image, seen, {fx, fy, cx, cy}, columnStep, rowStepInCamera,
                                   std::max(r, rowStep) / gsd);
  image.release();

  // Points on the raster's own axes: x along columns, y against rows, in metres.
  cv::Mat grid(int(enu.points.size()), 1, CV_32FC3);
  for (size_t i = 0; i < enu.points.size(); ++i) {
    grid.at<cv::Vec3f>(int(i)) = cv::Vec3f(
        float(originEnu[0] + (pixels[i][0] - double(origin.x)) * r),
        float(originEnu[1] - (pixels[i][1] - double(origin.y)) * rowStep), float(enu.points[i][2]));
  }
  pixels.clear();
  enu.points.clear();
  if (stop_) return false;
  std::map<std::string, sv::Var> parameters = {{"search_radius", sv::Var(kSearchRadius)},
                                               {"gsd", sv::Var(kCellPixels * r)},
                                               {"gsd_lat", sv::Var(kCellPixels * rowStep)}};
  std::vector<fw::GImage> grids;
  const int columns = int(width / kCellPixels), rows = int(height / kCellPixels);
  if (!fillGridIdw(fw::GImage(grid), grids, originEnu[0], originEnu[1], columns, rows,
                   sv::Var(parameters))) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no point on its raster";
    local->failure = "no point on its raster";
    return false;
  }
  grid.release();
  const cv::Mat heights = cv::Mat(grids[0]).clone();
  const cv::Mat cellWeights = cv::Mat(grids[1]);

  // Colour every DOM pixel from the image around its centre, at the height of its cell.
  cv::Mat dom(int(height), int(width), CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat weight(int(height), int(width), CV_8UC1, cv::Scalar(0));
  // Rows are independent: each starts its running height afresh.
  cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
    std::vector<double> cellHeights(columns);
    std::vector<char> emptyCells(columns);
    for (int row = range.start; row < range.end; ++row) {
      double running = meanHeight;
      for (int column = 0; column < columns; ++column) {
        const float cell = heights.at<float>(row, column);
        emptyCells[column] = !(cell >= kEmptyCell);
        if (!emptyCells[column]) running = cell;
        cellHeights[column] = running - shift;
      }
      const float* cellWeightRow = cellWeights.ptr<float>(row);
      for (int py = row * kCellPixels; py < (row + 1) * kCellPixels; ++py) {
        cv::Vec3b* domRow = dom.ptr<cv::Vec3b>(py);
        uchar* weightRow = weight.ptr<uchar>(py);
        const double dy = py + 0.5;
        const double x0 = originEnu[0] + a(0, 1) * dy, y0 = originEnu[1] + a(1, 1) * dy;
        const cv::Vec3d rowStart = terrain::apply(cameraFromEnu, {x0, y0, 0.0});
        for (int px = 0; px < columns * kCellPixels; ++px) {
          const int column = px / kCellPixels;
          const double dx = px + 0.5;
          const double x = x0 + a(0, 0) * dx, y = y0 + a(1, 0) * dx;
          const double z = cellHeights[column] - terrain::curvatureDrop(x, y);
          const cv::Vec3d c = rowStart + dx * columnStep + z * heightStep;
          if (!(c[2] > 0.0)) continue;
          const double u = fx * c[0] / c[2] + cx, v = fy * c[1] / c[2] + cy;
          if (!(u >= -0.5 && u < imageW - 0.5 && v >= -0.5 && v < imageH - 0.5)) continue;
          // The weight goes by the nearest pixel; u + 0.5 is not negative here, so truncation
          // rounds.
          const int iu = int(u + 0.5), iv = int(v + 0.5);
          if (iu >= imageW || iv >= imageH || !footprint.sees(iu, iv)) continue;
          domRow[px] = footprint.mean(c);
          uchar w = 1;
          if (!emptyCells[column]) {
            const int du = iu - imageW / 2, dv = iv - imageH / 2;
            const int d = int(std::sqrt(double(du * du + dv * dv)));
            w = uchar(255.0f - float(d << 7) / radius);
          }
          weightRow[px] = uchar(float(w) * cellWeightRow[column]);
        }
      }
    }
  });

  local->firstTile = firstTile;
  local->lastTile = lastTile;
  local->firstTileOrigin = origin;
  local->lastTileOrigin = pi::Point2ll(lastTile.x * tile.x, lastTile.y * tile.y);
  local->width = int32_t(width);
  local->height = int32_t(height);
  local->tileSize = tile;
  local->dsmTileSize = pi::Point2ll(tile.x / kCellPixels, tile.y / kCellPixels);
  local->dom = dom;
  local->weight = weight;
  local->dsm = heights;
  local->meanHeight = meanHeight;
  return !stop_;
}
