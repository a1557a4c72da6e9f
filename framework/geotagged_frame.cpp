#include "framework/geotagged_frame.h"

#include "framework/geodesy.h"

#include <utility>

namespace fw {

GeotaggedFrame::GeotaggedFrame(uint64_t id, double timestamp, std::vector<double> gps)
    : MapFrame(id, timestamp), gps_(std::move(gps)), gpsRecord_(decodeGpsRecord(gps_)) {}

void GeotaggedFrame::copyGpsTo(void* out) const {
  auto* gps = static_cast<std::vector<double>*>(out);
  if (gps && !gps_.empty() && gps != &gps_) *gps = gps_;
}

bool GeotaggedFrame::hasGPSAttitude() { return gpsRecord_.hasAttitude; }

bool GeotaggedFrame::isGPSSigmaValid() { return gpsPositionValid(gpsRecord_); }

bool GeotaggedFrame::getGPSLLA(pi::Point3d& lla) {
  if (!isGPSSigmaValid()) return false;
  lla = gpsRecord_.lla;
  return gpsRecord_.llaSigma.x < kGpsPositionUsable;
}

bool GeotaggedFrame::getGPSSigma(pi::Point3d& sigma) {
  if (!gpsRecord_.hasPosition) return false;
  sigma = gpsRecord_.llaSigma;
  return true;
}

bool GeotaggedFrame::getGPSECEF(pi::Point3d& ecef) {
  pi::Point3d lla;
  if (!getGPSLLA(lla)) return false;
  ecef = geodeticToECEF(lla.y, lla.x, lla.z);
  return true;
}

bool GeotaggedFrame::getGPSHeight(Point2d& height) {
  if (!gpsRecord_.hasRelativeAltitude) return false;
  height = Point2d(gpsRecord_.relativeAltitude, gpsRecord_.relativeAltitudeSigma);
  return gpsRecord_.relativeAltitudeSigma < kGpsHeightUsable;
}

}  // namespace fw
