#include "framework/gps_record.h"

#include <cstddef>

namespace fw {

namespace {

// First index of the attitude angles for the vector lengths that carry them, else -1.
int attitudeIndex(std::size_t length) {
  switch (length) {
    case 11:
      return 5;
    case 12:
      return 6;
    case 14:
      return 8;
    default:
      return -1;
  }
}

pi::Point3d at(const std::vector<double>& v, std::size_t i) { return {v[i], v[i + 1], v[i + 2]}; }

}  // namespace

GpsRecord decodeGpsRecord(const std::vector<double>& gps) {
  GpsRecord record;
  if (gps.size() >= 6) {
    record.hasPosition = true;
    record.lla = at(gps, 0);
    record.llaSigma = at(gps, 3);
  }
  if (gps.size() == 8 || gps.size() == 14) {
    record.hasRelativeAltitude = true;
    record.relativeAltitude = gps[6];
    record.relativeAltitudeSigma = gps[7];
  }
  const int attitude = attitudeIndex(gps.size());
  if (attitude >= 0) {
    record.hasAttitude = true;
    record.attitude = at(gps, static_cast<std::size_t>(attitude));
    record.attitudeSigma = at(gps, static_cast<std::size_t>(attitude) + 3);
  }
  return record;
}

std::vector<double> encodeGpsRecord(const GpsRecord& record) {
  if (!record.hasPosition) return {};
  std::vector<double> gps = {record.lla.x,      record.lla.y,      record.lla.z,
                             record.llaSigma.x, record.llaSigma.y, record.llaSigma.z};
  if (record.hasRelativeAltitude) {
    gps.insert(gps.end(), {record.relativeAltitude, record.relativeAltitudeSigma});
  }
  if (record.hasAttitude) {
    gps.insert(gps.end(), {record.attitude.x, record.attitude.y, record.attitude.z,
                           record.attitudeSigma.x, record.attitudeSigma.y, record.attitudeSigma.z});
  }
  return gps;
}

}  // namespace fw
