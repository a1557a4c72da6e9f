#pragma once

// Map projections between geographic positions (degrees) and the pixel and tile grid of a
// square-tiled web map: 2^z x 2^z tiles of 256 x 256 pixels at zoom z, x growing eastwards
// and y southwards from the north-west corner.

#include "framework/gobject.h"
#include "framework/wgs84.h"
#include "values/point.h"

#include <memory>
#include <string>

namespace fw {

// The latitude bound of the square Web-Mercator map, degrees either side of the equator.
constexpr double kMercatorLatitudeBound = 85.05112878;
// The longitude bound a projection keeps unless its user names another, degrees either side
// of Greenwich.
constexpr double kDefaultLongitudeBound = 177.0;
// The deepest zoom level of the tile grid.
constexpr int kDeepestZoom = 26;

// A geographic position; every projection returns it with `empty` false.
struct LatLng {
  double lat = 0;
  double lng = 0;
  bool empty = false;
};

class PureProjection : public GObject {
 public:
  virtual std::string projectionName() const = 0;
  virtual double earthRadius() const = 0;
  virtual double earthFlattening() const = 0;
  virtual pi::Point2ll tileSize() const = 0;
  virtual pi::Point2ll latLngToPixel(double lat, double lng, int zoom) const = 0;
  virtual pi::Point2ll latLngToPixelTruncated(double lat, double lng, int zoom) const = 0;
  virtual pi::Point2ll latLngToTile(double lat, double lng, int zoom) const = 0;
  virtual pi::Point2ll latLngToTileTruncated(double lat, double lng, int zoom) const = 0;
  virtual LatLng pixelToLatLng(long long x, long long y, int zoom) const = 0;
  virtual LatLng pixelToLatLngAsin(long long x, long long y, int zoom) const = 0;
  virtual pi::Point2ll pixelToTile(const pi::Point2ll& pixel) const = 0;
  virtual pi::Point2ll tileToPixel(const pi::Point2ll& tile) const = 0;
  virtual pi::Point2ll minTile(int zoom) const = 0;
  virtual pi::Point2ll maxTile(int zoom) const = 0;
  virtual pi::Point2ll tileMatrixSize(int zoom) const = 0;
  virtual pi::Point2ll mapSize(int zoom) const = 0;
  // Metres per pixel at `latitude`.
  virtual double groundResolution(int zoom, double latitude) const = 0;
  // The zoom level whose resolution fits a ground sample distance (metres per pixel).
  virtual int zoomForGsd(double gsd, double latitude) const = 0;
  virtual int maxZoom() const = 0;
};

// Spherical (Web) Mercator.
class MercatorProjection : public PureProjection {
 public:
  MercatorProjection() = default;
  // Throws std::invalid_argument for a tile size below 1 pixel.
  MercatorProjection(double minLatitude, double maxLatitude, double minLongitude,
                     double maxLongitude, long long tileWidth, long long tileHeight);

  std::string projectionName() const override { return "MercatorProjection"; }
  double earthRadius() const override { return wgs84::kA; }
  double earthFlattening() const override { return wgs84::kFlattening; }
  pi::Point2ll tileSize() const override { return tileSize_; }
  // Rounded pixel of a position clamped to the map's latitude and longitude range.
  pi::Point2ll latLngToPixel(double lat, double lng, int zoom) const override;
  pi::Point2ll latLngToPixelTruncated(double lat, double lng, int zoom) const override;
  pi::Point2ll latLngToTile(double lat, double lng, int zoom) const override;
  pi::Point2ll latLngToTileTruncated(double lat, double lng, int zoom) const override;
  LatLng pixelToLatLng(long long x, long long y, int zoom) const override;
  LatLng pixelToLatLngAsin(long long x, long long y, int zoom) const override;
  pi::Point2ll pixelToTile(const pi::Point2ll& pixel) const override;
  pi::Point2ll tileToPixel(const pi::Point2ll& tile) const override;
  pi::Point2ll minTile(int zoom) const override;
  pi::Point2ll maxTile(int zoom) const override;
  pi::Point2ll tileMatrixSize(int zoom) const override;
  pi::Point2ll mapSize(int zoom) const override;
  double groundResolution(int zoom, double latitude) const override;
  int zoomForGsd(double gsd, double latitude) const override;
  int maxZoom() const override { return kDeepestZoom; }

 protected:
  pi::Point2ll pixelOf(double lat, double lng, int zoom, double rounding) const;

  double minLatitude_ = -kMercatorLatitudeBound;
  double maxLatitude_ = kMercatorLatitudeBound;
  double minLongitude_ = -kDefaultLongitudeBound;
  double maxLongitude_ = kDefaultLongitudeBound;
  pi::Point2ll tileSize_{256, 256};
};

// Mercator of positions in the GCJ-02 system: WGS-84 positions are offset before projecting,
// and pixels are turned back into WGS-84 positions.
class GCJ02Projection : public MercatorProjection {
 public:
  using MercatorProjection::MercatorProjection;
  std::string projectionName() const override { return "GCJ02Projection"; }
  pi::Point2ll latLngToPixel(double lat, double lng, int zoom) const override;
  LatLng pixelToLatLng(long long x, long long y, int zoom) const override;
};

// Mercator of positions in the BD-09 system (GCJ-02 followed by the Baidu offset).
class BaiduProjection : public MercatorProjection {
 public:
  using MercatorProjection::MercatorProjection;
  std::string projectionName() const override { return "BaiduProjection"; }
  pi::Point2ll latLngToPixel(double lat, double lng, int zoom) const override;
  LatLng pixelToLatLng(long long x, long long y, int zoom) const override;
};

// The projection a "coordinate" setting names: "GCJ" the GCJ-02 system, "BAIDU" BD-09, any
// other WGS-84; tiles of 256 x 256 pixels, latitudes within kMercatorLatitudeBound and
// longitudes within `longitudeBound` of Greenwich.
std::shared_ptr<MercatorProjection> projectionForCoordinate(
    const std::string& coordinate, double longitudeBound = kDefaultLongitudeBound);

// The position of a corner of the square Web-Mercator map that is n tiles (or pixels) a side:
// corner (i, j) counts from the north-west corner, and i or j equal to n are the east and
// south edges. Nothing is clamped, unlike pixelToLatLng.
LatLng mapCornerPosition(double i, double j, double n);

}  // namespace fw
