#include "framework/projection.h"
#include "framework/china_offsets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {
constexpr double kPi = 3.141592653589793;
}

TEST(MercatorProjection, FixedPointsOfTheGrid) {
  const fw::MercatorProjection mercator;
  EXPECT_EQ(mercator.projectionName(), "MercatorProjection");
  EXPECT_EQ(mercator.latLngToPixel(0, 0, 0), pi::Point2ll(128, 128));
  EXPECT_EQ(mercator.latLngToPixelTruncated(0, 0, 0), pi::Point2ll(128, 128));
  EXPECT_EQ(mercator.latLngToPixel(0, 0, 1), pi::Point2ll(256, 256));
  EXPECT_EQ(mercator.maxTile(0), pi::Point2ll(0, 0));
  EXPECT_EQ(mercator.tileMatrixSize(3), pi::Point2ll(8, 8));
  EXPECT_EQ(mercator.mapSize(3), pi::Point2ll(2048, 2048));
  EXPECT_EQ(mercator.tileSize(), pi::Point2ll(256, 256));
  EXPECT_EQ(mercator.earthRadius(), 6378137.0);
  EXPECT_DOUBLE_EQ(mercator.earthFlattening(), 0.0033528106647474805);
  EXPECT_EQ(mercator.maxZoom(), 26);
  EXPECT_EQ(mercator.tileToPixel(pi::Point2ll(3, 5)), pi::Point2ll(768, 1280));
  EXPECT_EQ(mercator.pixelToTile(pi::Point2ll(767, 1280)), pi::Point2ll(2, 5));
}

TEST(MercatorProjection, ConstructorTakesTheMapLimits) {
  const fw::MercatorProjection custom(-85.05112878, 85.05112878, -177.0, 177.0, 512, 512);
  EXPECT_EQ(custom.mapSize(1), pi::Point2ll(1024, 1024));
  EXPECT_EQ(custom.latLngToPixel(0, 0, 0), pi::Point2ll(256, 256));
  EXPECT_THROW(fw::GCJ02Projection(-85, 85, -177, 177, 0, 256), std::invalid_argument);
}

TEST(MercatorProjection, ClampsPositionsAndPixels) {
  const fw::MercatorProjection mercator;
  const int zoom = 4;
  const long long w = mercator.mapSize(zoom).x;
  EXPECT_EQ(mercator.latLngToPixel(89, 0, zoom).y, 0);
  EXPECT_EQ(mercator.latLngToPixel(0, 179.9, zoom).x,
            static_cast<long long>(357.0 / 360.0 * double(w) + 0.5));
  EXPECT_EQ(mercator.latLngToPixel(-89, -179.9, zoom).y, w - 1);
  const fw::LatLng corner = mercator.pixelToLatLng(0, 0, zoom);
  EXPECT_NEAR(corner.lat, 85.0511287798, 1e-9);
  EXPECT_EQ(corner.lng, -180.0);
  EXPECT_FALSE(corner.empty);
  const fw::LatLng beyond = mercator.pixelToLatLng(-50, -7, zoom);
  EXPECT_EQ(beyond.lat, corner.lat);
  EXPECT_EQ(beyond.lng, corner.lng);
  // NaN positions land on a defined pixel.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const pi::Point2ll p = mercator.latLngToPixel(nan, nan, zoom);
  EXPECT_GE(p.x, 0);
  EXPECT_LT(p.x, w);
}

TEST(MercatorProjection, SphericalMercatorByHand) {
  // y = R ln(tan(π/4 + φ/2)) in metres; pixel = (0.5 - y / (2πR)) · H.
  const fw::MercatorProjection mercator;
  const int zoom = 12;
  const double h = double(mercator.mapSize(zoom).y);
  for (double lat : {-60.0, -12.3, 22.5, 48.8566, 70.0}) {
    const double y = std::log(std::tan(kPi / 4 + lat * kPi / 360.0)) / (2 * kPi);
    EXPECT_EQ(mercator.latLngToPixelTruncated(lat, 2.35, zoom).y,
              static_cast<long long>((0.5 - y) * h));
  }
}

TEST(MercatorProjection, PixelsAndPositionsRoundTripWithinAPixel) {
  const fw::MercatorProjection mercator;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> lat(-80, 80), lng(-170, 170);
  const int zoom = 20;
  for (int i = 0; i < 500; ++i) {
    const double la = lat(rng), ln = lng(rng);
    const pi::Point2ll pixel = mercator.latLngToPixel(la, ln, zoom);
    const fw::LatLng back = mercator.pixelToLatLng(pixel.x, pixel.y, zoom);
    const fw::LatLng asin = mercator.pixelToLatLngAsin(pixel.x, pixel.y, zoom);
    const double resolution = mercator.groundResolution(zoom, la);
    // One pixel in degrees of latitude and longitude at this place.
    const double latPixel = resolution / 111320.0 / std::cos(la * kPi / 180) * 1.01 + 1e-12;
    EXPECT_NEAR(back.lat, la, latPixel);
    EXPECT_NEAR(back.lng, ln, 360.0 / double(mercator.mapSize(zoom).x));
    EXPECT_NEAR(asin.lat, back.lat, 1e-9);
    const pi::Point2ll tile = mercator.latLngToTile(la, ln, zoom);
    EXPECT_EQ(tile, pi::Point2ll(pixel.x / 256, pixel.y / 256));
    const pi::Point2ll origin = mercator.tileToPixel(tile);
    EXPECT_GE(pixel.x - origin.x, 0);
    EXPECT_LT(pixel.x - origin.x, 256);
  }
}

TEST(MercatorProjection, GroundResolutionAndZoomForGsd) {
  const fw::MercatorProjection mercator;
  // 2πR / 256 at zoom 0 on the equator: 156543.03 m per pixel.
  EXPECT_NEAR(mercator.groundResolution(0, 0), 156543.03392804097, 1e-6);
  EXPECT_NEAR(mercator.groundResolution(1, 60), 156543.03392804097 / 4, 1e-6);
  EXPECT_EQ(mercator.zoomForGsd(0.05, 0), 21);
  EXPECT_EQ(mercator.zoomForGsd(0.05, 60), 20);
  EXPECT_EQ(mercator.zoomForGsd(1e9, 0), 0);
  EXPECT_EQ(mercator.zoomForGsd(1e-12, 0), 26);
  EXPECT_EQ(mercator.zoomForGsd(0.0, 0), 26);
  EXPECT_EQ(mercator.zoomForGsd(std::numeric_limits<double>::quiet_NaN(), 0), 0);
  EXPECT_EQ(mercator.zoomForGsd(-1, 0), 0);
}

TEST(MercatorProjection, ZoomsOutsideTheRangeAreClamped) {
  const fw::MercatorProjection mercator;
  EXPECT_EQ(mercator.maxTile(-3), pi::Point2ll(0, 0));
  EXPECT_EQ(mercator.maxTile(40), mercator.maxTile(26));
  EXPECT_EQ(mercator.maxTile(26).x, (1LL << 26) - 1);
}

TEST(ChinaOffsets, Gcj02AgreesWithPublishedPoints) {
  // The widely published conversion of (39.915 N, 116.404 E).
  const fw::LatLngOffset gcj = fw::gcj02FromWgs84(39.915, 116.404);
  EXPECT_NEAR(gcj.lat, 39.91640428150164, 1e-10);
  EXPECT_NEAR(gcj.lng, 116.41024449916938, 1e-10);
  const fw::LatLngOffset back = fw::wgs84FromGcj02(39.915, 116.404);
  EXPECT_NEAR(back.lat, 39.91359571849836, 1e-10);
  EXPECT_NEAR(back.lng, 116.39775550083061, 1e-10);
  // Outside the box nothing changes.
  const fw::LatLngOffset paris = fw::gcj02FromWgs84(48.8, 2.3);
  EXPECT_EQ(paris.lat, 48.8);
  EXPECT_EQ(paris.lng, 2.3);
}

TEST(ChinaOffsets, BaiduOffsetByHand) {
  const double lat = 39.9, lng = 116.4;
  const double z = std::sqrt(lng * lng + lat * lat) + 0.00002 * std::sin(lat * kPi);
  const double theta = std::atan2(lat, lng) + 0.000003 * std::cos(lng * kPi);
  const fw::LatLngOffset bd = fw::bd09FromGcj02(lat, lng);
  EXPECT_DOUBLE_EQ(bd.lng, z * std::cos(theta) + 0.0065);
  EXPECT_DOUBLE_EQ(bd.lat, z * std::sin(theta) + 0.006);
  // Removing the offset lands within a few millimetres of the start.
  const fw::LatLngOffset back = fw::gcj02FromBd09(bd.lat, bd.lng);
  EXPECT_NEAR(back.lat, lat, 1e-6);
  EXPECT_NEAR(back.lng, lng, 1e-6);
}

TEST(OffsetProjections, ApplyOffsetsBeforeMercator) {
  const fw::MercatorProjection mercator;
  const fw::GCJ02Projection gcj02;
  const fw::BaiduProjection baidu;
  EXPECT_EQ(gcj02.projectionName(), "GCJ02Projection");
  EXPECT_EQ(baidu.projectionName(), "BaiduProjection");
  const int zoom = 18;
  const fw::LatLngOffset g = fw::gcj02FromWgs84(39.915, 116.404);
  EXPECT_EQ(gcj02.latLngToPixel(39.915, 116.404, zoom), mercator.latLngToPixel(g.lat, g.lng, zoom));
  EXPECT_EQ(gcj02.latLngToTile(39.915, 116.404, zoom), mercator.latLngToTile(g.lat, g.lng, zoom));
  const fw::LatLngOffset b = fw::bd09FromGcj02(g.lat, g.lng);
  EXPECT_EQ(baidu.latLngToPixel(39.915, 116.404, zoom), mercator.latLngToPixel(b.lat, b.lng, zoom));
  // The truncated forms stay plain Mercator.
  EXPECT_EQ(gcj02.latLngToPixelTruncated(39.915, 116.404, zoom),
            mercator.latLngToPixelTruncated(39.915, 116.404, zoom));
  EXPECT_EQ(baidu.latLngToTileTruncated(39.915, 116.404, zoom),
            mercator.latLngToTileTruncated(39.915, 116.404, zoom));
  // Outside China only the Baidu step moves the position.
  EXPECT_EQ(gcj02.latLngToPixel(48.8, 2.3, zoom), mercator.latLngToPixel(48.8, 2.3, zoom));
  const fw::LatLngOffset parisBd = fw::bd09FromGcj02(48.8, 2.3);
  EXPECT_EQ(baidu.latLngToPixel(48.8, 2.3, zoom),
            mercator.latLngToPixel(parisBd.lat, parisBd.lng, zoom));

  // Back from pixels, within a few metres of the start (the inverse offsets are single steps).
  for (const fw::PureProjection* projection : {static_cast<const fw::PureProjection*>(&gcj02),
                                               static_cast<const fw::PureProjection*>(&baidu)}) {
    const pi::Point2ll pixel = projection->latLngToPixel(39.915, 116.404, zoom);
    const fw::LatLng back = projection->pixelToLatLng(pixel.x, pixel.y, zoom);
    EXPECT_NEAR(back.lat, 39.915, 5e-5) << projection->projectionName();
    EXPECT_NEAR(back.lng, 116.404, 5e-5) << projection->projectionName();
    EXPECT_NEAR(projection->pixelToLatLngAsin(pixel.x, pixel.y, zoom).lat,
                mercator.pixelToLatLng(pixel.x, pixel.y, zoom).lat, 1e-9);
  }
}

TEST(ProjectionForCoordinate, NamesTheSystemAndKeepsTheGivenLongitudeBound) {
  EXPECT_EQ(fw::projectionForCoordinate("GCJ")->projectionName(), "GCJ02Projection");
  EXPECT_EQ(fw::projectionForCoordinate("BAIDU")->projectionName(), "BaiduProjection");
  for (const char* other : {"GPS", "", "gcj", "WGS84"})
    EXPECT_EQ(fw::projectionForCoordinate(other)->projectionName(), "MercatorProjection") << other;
  const int zoom = 10;
  // The default bound clamps a position beyond 177 degrees east; a bound of 180 keeps it.
  const auto clamped = fw::projectionForCoordinate("GPS");
  const auto whole = fw::projectionForCoordinate("GPS", 180.0);
  EXPECT_EQ(clamped->latLngToPixel(10.0, 179.0, zoom), clamped->latLngToPixel(10.0, 177.0, zoom));
  EXPECT_GT(whole->latLngToPixel(10.0, 179.0, zoom).x, whole->latLngToPixel(10.0, 177.0, zoom).x);
  EXPECT_EQ(clamped->latLngToPixel(89.0, 0.0, zoom).y, 0);  // beyond the latitude bound
  EXPECT_EQ(clamped->tileSize(), pi::Point2ll(256, 256));
  EXPECT_EQ(clamped->maxZoom(), fw::kDeepestZoom);
}

TEST(MapCornerPosition, CornersOfTheWholeMapAndOfATileUnclamped) {
  const fw::LatLng northWest = fw::mapCornerPosition(0, 0, 4);
  EXPECT_DOUBLE_EQ(northWest.lng, -180.0);
  EXPECT_NEAR(northWest.lat, fw::kMercatorLatitudeBound, 1e-8);
  const fw::LatLng southEast = fw::mapCornerPosition(4, 4, 4);  // the far edges, not clamped
  EXPECT_DOUBLE_EQ(southEast.lng, 180.0);
  EXPECT_NEAR(southEast.lat, -fw::kMercatorLatitudeBound, 1e-8);
  const fw::LatLng centre = fw::mapCornerPosition(2, 2, 4);
  EXPECT_DOUBLE_EQ(centre.lng, 0.0);
  EXPECT_NEAR(centre.lat, 0.0, 1e-12);
  // A pixel corner inside the map agrees with the projection's own inverse.
  const fw::MercatorProjection mercator;
  const fw::LatLng byProjection = mercator.pixelToLatLng(1000, 700, 2);
  const fw::LatLng byCorner = fw::mapCornerPosition(1000, 700, 1024);
  EXPECT_NEAR(byCorner.lat, byProjection.lat, 1e-9);
  EXPECT_NEAR(byCorner.lng, byProjection.lng, 1e-9);
}
