#include "framework/projection.h"

#include "framework/angles.h"
#include "framework/china_offsets.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace fw {

namespace {

// Clamps v to [lo, hi]; NaN becomes lo so that every later integer conversion is defined.
double clampTo(double v, double lo, double hi) {
  if (!(v > lo)) return lo;
  return v > hi ? hi : v;
}

}  // namespace

MercatorProjection::MercatorProjection(double minLatitude, double maxLatitude, double minLongitude,
                                       double maxLongitude, long long tileWidth,
                                       long long tileHeight)
    : minLatitude_(minLatitude),
      maxLatitude_(maxLatitude),
      minLongitude_(minLongitude),
      maxLongitude_(maxLongitude),
      tileSize_(tileWidth, tileHeight) {
  if (tileWidth < 1 || tileHeight < 1)
    throw std::invalid_argument("MercatorProjection: tile size " + std::to_string(tileWidth) +
                                " x " + std::to_string(tileHeight) + " is not positive");
}

pi::Point2ll MercatorProjection::pixelOf(double lat, double lng, int zoom, double rounding) const {
  lat = clampTo(lat, minLatitude_, maxLatitude_);
  lng = clampTo(lng, minLongitude_, maxLongitude_);
  const double s = std::sin(lat * kPi / 180.0);
  const pi::Point2ll size = mapSize(zoom);
  const double w = double(size.x), h = double(size.y);
  const double x = (lng + 180.0) / 360.0 * w + rounding;
  const double y = (0.5 - std::log((1 + s) / (1 - s)) / (4 * kPi)) * h + rounding;
  return {static_cast<long long>(clampTo(x, 0, w - 1)),
          static_cast<long long>(clampTo(y, 0, h - 1))};
}

pi::Point2ll MercatorProjection::latLngToPixel(double lat, double lng, int zoom) const {
  return pixelOf(lat, lng, zoom, 0.5);
}

pi::Point2ll MercatorProjection::latLngToPixelTruncated(double lat, double lng, int zoom) const {
  return pixelOf(lat, lng, zoom, 0.0);
}

pi::Point2ll MercatorProjection::latLngToTile(double lat, double lng, int zoom) const {
  return pixelToTile(latLngToPixel(lat, lng, zoom));
}

pi::Point2ll MercatorProjection::latLngToTileTruncated(double lat, double lng, int zoom) const {
  return pixelToTile(latLngToPixelTruncated(lat, lng, zoom));
}

LatLng MercatorProjection::pixelToLatLng(long long x, long long y, int zoom) const {
  const pi::Point2ll size = mapSize(zoom);
  const double w = double(size.x), h = double(size.y);
  const double yc = clampTo(double(y), 0, h - 1);
  const double t = 0.5 - yc / h;
  const double xc = clampTo(double(x), 0, w - 1);
  LatLng result;
  result.lat = 90.0 - 360.0 * std::atan(std::exp(-2.0 * kPi * t)) / kPi;
  result.lng = (xc / w - 0.5) * 360.0;
  return result;
}

LatLng MercatorProjection::pixelToLatLngAsin(long long x, long long y, int zoom) const {
  // The same inverse under the interface's second name; the variants leave it Mercator.
  return MercatorProjection::pixelToLatLng(x, y, zoom);
}

pi::Point2ll MercatorProjection::pixelToTile(const pi::Point2ll& pixel) const {
  return {pixel.x / tileSize_.x, pixel.y / tileSize_.y};
}

pi::Point2ll MercatorProjection::tileToPixel(const pi::Point2ll& tile) const {
  return {tile.x * tileSize_.x, tile.y * tileSize_.y};
}

pi::Point2ll MercatorProjection::minTile(int) const { return {0, 0}; }

pi::Point2ll MercatorProjection::maxTile(int zoom) const {
  // Zooms outside 0..maxZoom are clamped so the shift is always defined.
  const int z = std::min(std::max(zoom, 0), maxZoom());
  const long long last = (1LL << z) - 1;
  return {last, last};
}

pi::Point2ll MercatorProjection::tileMatrixSize(int zoom) const {
  const pi::Point2ll lo = minTile(zoom), hi = maxTile(zoom);
  return {hi.x - lo.x + 1, hi.y - lo.y + 1};
}

pi::Point2ll MercatorProjection::mapSize(int zoom) const {
  const pi::Point2ll tiles = tileMatrixSize(zoom);
  return {tiles.x * tileSize_.x, tiles.y * tileSize_.y};
}

double MercatorProjection::groundResolution(int zoom, double latitude) const {
  return std::cos(latitude * kPi / 180.0) * 2.0 * kPi * earthRadius() / double(mapSize(zoom).x);
}

int MercatorProjection::zoomForGsd(double gsd, double latitude) const {
  // In double throughout: a gsd of 0 or a tiny one gives the largest zoom, NaN or a
  // negative one zoom 0, instead of an undefined integer conversion.
  const double c = std::cos(latitude * kRadiansPerDegree);
  const double n = std::trunc(earthRadius() * 2.0 * c * kPi / (double(tileSize_.x) * gsd) - 1.0);
  if (!(n > 0)) return 0;
  const double zoom = std::trunc(std::log(n) / std::log(2.0));
  return int(clampTo(zoom, 0, maxZoom()));
}

std::shared_ptr<MercatorProjection> projectionForCoordinate(const std::string& coordinate,
                                                            double longitudeBound) {
  const double minLat = -kMercatorLatitudeBound, maxLat = kMercatorLatitudeBound;
  const double minLng = -longitudeBound, maxLng = longitudeBound;
  if (coordinate == "GCJ")
    return std::make_shared<GCJ02Projection>(minLat, maxLat, minLng, maxLng, 256, 256);
  if (coordinate == "BAIDU")
    return std::make_shared<BaiduProjection>(minLat, maxLat, minLng, maxLng, 256, 256);
  return std::make_shared<MercatorProjection>(minLat, maxLat, minLng, maxLng, 256, 256);
}

LatLng mapCornerPosition(double i, double j, double n) {
  // The inverse of pixelToLatLng in the form the tile stores have always printed their bounds
  // with: the two forms part in the last bits, and at the deepest zooms that moves a printed
  // sixth decimal, so the stored bounds keep this one.
  LatLng position;
  position.lat = std::atan(std::sinh(kPi * (1.0 - 2.0 * j / n))) * 180.0 / kPi;
  position.lng = i / n * 360.0 - 180.0;
  return position;
}

pi::Point2ll GCJ02Projection::latLngToPixel(double lat, double lng, int zoom) const {
  const LatLngOffset gcj = gcj02FromWgs84(lat, lng);
  return MercatorProjection::latLngToPixel(gcj.lat, gcj.lng, zoom);
}

LatLng GCJ02Projection::pixelToLatLng(long long x, long long y, int zoom) const {
  LatLng position = MercatorProjection::pixelToLatLng(x, y, zoom);
  const LatLngOffset wgs = wgs84FromGcj02(position.lat, position.lng);
  position.lat = wgs.lat;
  position.lng = wgs.lng;
  return position;
}

pi::Point2ll BaiduProjection::latLngToPixel(double lat, double lng, int zoom) const {
  const LatLngOffset gcj = gcj02FromWgs84(lat, lng);
  const LatLngOffset bd = bd09FromGcj02(gcj.lat, gcj.lng);
  return MercatorProjection::latLngToPixel(bd.lat, bd.lng, zoom);
}

LatLng BaiduProjection::pixelToLatLng(long long x, long long y, int zoom) const {
  LatLng position = MercatorProjection::pixelToLatLng(x, y, zoom);
  const LatLngOffset gcj = gcj02FromBd09(position.lat, position.lng);
  const LatLngOffset wgs = wgs84FromGcj02(gcj.lat, gcj.lng);
  position.lat = wgs.lat;
  position.lng = wgs.lng;
  return position;
}

}  // namespace fw
