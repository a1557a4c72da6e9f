#include "src/TerrainFusion/src/TerrainFusion.h"

#include "framework/geodesy.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/footprint_sampler.h"
#include "src/TerrainFusion/src/terrain_geometry.h"

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
    return false;
  }
  if (!projection_) return false;
  const fw::Camera camera = frame->getCamera(0);
  const std::vector<double> intrinsics = camera.getParameters();
  if (intrinsics.size() < 6 || !(intrinsics[2] != 0.0) || !(intrinsics[3] != 0.0)) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                          << " has no usable camera " << camera.info();
    return false;
  }
  cv::Mat image = loadFrameImage(frame);
  if (image.empty()) return false;
  if (image.cols != camera.width() || image.rows != camera.height()) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: image of frame " << frame->id << " is "
                          << image.cols << " x " << image.rows << ", its camera " << camera.width()
                          << " x " << camera.height();
    return false;
  }
  cv::Mat seen;  // empty: every pixel of the image has content
  if (camera.typeName() != "PinHole") {
    image = undistortedImage(camera, image, seen);
    if (image.empty()) {
      FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id
                            << " could not be undistorted";
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
    const fw::LatLng ll = projection_->pixelToLatLng(px, py, zoom);
    const pi::Point3d e =
        enuFrameInverse_.transformPoint(fw::geodeticToECEF(ll.lat, ll.lng, meanHeight));
    return cv::Vec2d(e.x, e.y);
  };
  const pi::Point3d nw = geodeticOf(enu.minX, enu.maxY), se = geodeticOf(enu.maxX, enu.minY);
  const pi::Point2ll p0 = projection_->latLngToPixel(nw.x, nw.y, zoom);
  pi::Point2ll pf = projection_->latLngToPixel(se.x, se.y, zoom);
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

  // Tiles that hold every point.
  double minPx = std::numeric_limits<double>::max(), maxPx = -minPx;
  double minPy = minPx, maxPy = maxPx;
  std::vector<cv::Vec2d> pixels(enu.points.size());
  for (size_t i = 0; i < enu.points.size(); ++i) {
    pixels[i] = map.pixel(enu.points[i][0], enu.points[i][1]);
    minPx = std::min(minPx, pixels[i][0]);
    maxPx = std::max(maxPx, pixels[i][0]);
    minPy = std::min(minPy, pixels[i][1]);
    maxPy = std::max(maxPy, pixels[i][1]);
  }
  const pi::Point2ll lastTileOfMap = projection_->maxTile(zoom);
  // Clamped in double first, so that a wild point converts defined.
  const auto tileIndex = [](double pixel, long long size, long long last) {
    const double t = std::floor(pixel / double(size));
    if (!(t > 0.0)) return 0LL;
    return t > double(last) ? last : static_cast<long long>(t);
  };
  const pi::Point2ll firstTile(tileIndex(minPx, tile.x, lastTileOfMap.x),
                               tileIndex(minPy, tile.y, lastTileOfMap.y));
  const pi::Point2ll lastTile(tileIndex(maxPx, tile.x, lastTileOfMap.x),
                              tileIndex(maxPy, tile.y, lastTileOfMap.y));
  const long long width = (lastTile.x - firstTile.x + 1) * tile.x;
  const long long height = (lastTile.y - firstTile.y + 1) * tile.y;

  // Refuse a raster far larger than the frame can fill (a far outlier) before allocating.
  const double r = map.columnStep();
  const cv::Vec3d cameraEnu = terrain::apply(
      terrain::compose(terrain::matrixOf(enuFrameInverse_), terrain::matrixOf(localPlacement_)),
      {pose.t.x, pose.t.y, pose.t.z});
  const double cameraHeight =
      cameraEnu[2] + terrain::curvatureDrop(cameraEnu[0], cameraEnu[1]) + shift;
  const double gsd = std::fabs(cameraHeight - meanHeight) / intrinsics[2];
  const double coarser = std::isfinite(gsd / r) ? std::max(1.0, (gsd / r) * (gsd / r)) : 1.0;
  const double limit = std::max(kMaxPixelsPerImagePixel * double(image.total()) * coarser,
                                double(kMinLimitTiles * tile.x * tile.y));
  if (double(width) * double(height) > std::min(limit, double(INT32_MAX))) {
    FW_LOG(fw::kLogError) << "TerrainFusion::makeMap_idw: frame " << frame->id << " would need a "
                          << width << " x " << height << " raster (limit " << limit
                          << " pixels); a point lies far off the frame's footprint";
    return false;
  }
  const pi::Point2ll origin(firstTile.x * tile.x, firstTile.y * tile.y);
  const cv::Vec2d originEnu = map.enu(double(origin.x), double(origin.y));
  const double rowStep = map.rowStep();

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
    return false;
  }
  grid.release();
  const cv::Mat heights = cv::Mat(grids[0]).clone();
  const cv::Mat cellWeights = cv::Mat(grids[1]);

  // Colour every DOM pixel from the image around its centre, at the height of its cell.
  cv::Mat dom(int(height), int(width), CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat weight(int(height), int(width), CV_8UC1, cv::Scalar(0));
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
                                   FootprintSampler::samplesFor(std::max(r, rowStep), gsd));
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
