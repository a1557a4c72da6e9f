#pragma once

// Map projections between geographic positions (degrees) and the pixel and tile grid of a
// square-tiled web map: 2^z x 2^z tiles of 256 x 256 pixels at zoom z, x growing eastwards
// and y southwards from the north-west corner.

#include "framework/gobject.h"
#include "values/point.h"

#include <string>

namespace fw {

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
  double earthRadius() const override { return 6378137.0; }
  double earthFlattening() const override { return 1.0 / 298.257223563; }
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
  int maxZoom() const override { return 26; }

 protected:
  pi::Point2ll pixelOf(double lat, double lng, int zoom, double rounding) const;

  double minLatitude_ = -85.05112878;
  double maxLatitude_ = 85.05112878;
  double minLongitude_ = -177.0;
  double maxLongitude_ = 177.0;
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

}  // namespace fw
