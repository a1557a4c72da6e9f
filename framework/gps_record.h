#pragma once

#include "values/point.h"

#include <vector>

namespace fw {

// A frame's GPS vector, decoded once by its length. The bare vector is the form the frame
// interface fixes (frames are built from it and "GetGPS" hands it out), so it is encoded and
// decoded here and nowhere else: at least 6 entries carry the position
// (longitude, latitude, altitude) and its sigmas; 8 or 14 entries add the relative altitude
// and its sigma at 6 and 7; 11, 12 or 14 entries carry the attitude (pitch, yaw, roll) and its
// sigmas from index 5, 6 or 8. Each frame class applies its own rule on top of this.
struct GpsRecord {
  bool hasPosition = false;
  pi::Point3d lla;
  pi::Point3d llaSigma;
  bool hasRelativeAltitude = false;
  double relativeAltitude = 0.0;
  double relativeAltitudeSigma = 0.0;
  bool hasAttitude = false;
  pi::Point3d attitude;
  pi::Point3d attitudeSigma;
};

// Limits shared by the frame classes: a position whose longitude sigma is below
// kGpsSigmaValid counts, and is usable below kGpsPositionUsable; a relative altitude is
// usable below kGpsHeightUsable; an attitude sigma below kGpsAttitudeUsable is usable.
constexpr double kGpsSigmaValid = 10.0;
constexpr double kGpsPositionUsable = 100.0;
constexpr double kGpsHeightUsable = 100.0;
constexpr double kGpsAttitudeUsable = 20.0;

GpsRecord decodeGpsRecord(const std::vector<double>& gps);

// The vector of a record, in the layout decodeGpsRecord reads back: the position and its
// sigmas, the relative altitude and its sigma when the record has them, then the attitude and
// its sigmas when it has one (6, 8, 12 or 14 entries). Without a position it is empty.
std::vector<double> encodeGpsRecord(const GpsRecord& record);

// True when the record has a position with a valid sigma.
inline bool gpsPositionValid(const GpsRecord& record) {
  return record.hasPosition && record.llaSigma.x < kGpsSigmaValid;
}

}  // namespace fw
