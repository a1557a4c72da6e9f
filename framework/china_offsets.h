#pragma once

// The coordinate offsets of the GCJ-02 and BD-09 systems, in degrees.

namespace fw {

struct LatLngOffset {
  double lat = 0, lng = 0;
};

// WGS-84 -> GCJ-02. Positions outside the GCJ-02 box (72.004..137.8347 E, 0.8293..55.8271 N)
// are returned unchanged.
LatLngOffset gcj02FromWgs84(double lat, double lng);
// GCJ-02 -> WGS-84 in one step: the offset is evaluated at the given position itself.
LatLngOffset wgs84FromGcj02(double lat, double lng);
// GCJ-02 -> BD-09 (angle factor π).
LatLngOffset bd09FromGcj02(double lat, double lng);
// BD-09 -> GCJ-02.
LatLngOffset gcj02FromBd09(double lat, double lng);

}  // namespace fw
