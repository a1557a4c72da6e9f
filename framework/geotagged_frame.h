#pragma once

// The part of a frame that answers the frame interface's GPS queries from the GPS vector the
// frame was made with. The bare vector is what crosses the interface, in the layouts
// decodeGpsRecord reads: frames are built from it and "GetGPS" copies it out, so each frame
// decodes it once here and answers every query from the record.

#include "framework/gps_record.h"
#include "framework/map_frame.h"

#include <cstdint>
#include <vector>

namespace fw {

class GeotaggedFrame : public MapFrame {
 public:
  // True for the layouts that carry an attitude (11, 12 or 14 entries). Whether the attitude
  // is usable is each frame class's own rule.
  bool hasGPSAttitude() override;
  // A position whose longitude sigma is below kGpsSigmaValid.
  bool isGPSSigmaValid() override;
  // (longitude, latitude, altitude) when isGPSSigmaValid, else false with `lla` untouched;
  // true when the longitude sigma is below kGpsPositionUsable.
  bool getGPSLLA(pi::Point3d& lla) override;
  // The position's sigmas whenever the record has a position.
  bool getGPSSigma(pi::Point3d& sigma) override;
  // The position of getGPSLLA in earth-centred, earth-fixed coordinates, when that succeeds.
  bool getGPSECEF(pi::Point3d& ecef) override;
  // (relative altitude, its sigma) when the layout has them; true when the sigma is below
  // kGpsHeightUsable.
  bool getGPSHeight(Point2d& height) override;

 protected:
  GeotaggedFrame(uint64_t id, double timestamp, std::vector<double> gps);

  // Answers "GetGPS": assigns the vector to the std::vector<double> that `out` points to,
  // unless `out` is null or the frame's own vector, or the frame has no GPS.
  void copyGpsTo(void* out) const;
  const std::vector<double>& gps() const { return gps_; }
  const GpsRecord& gpsRecord() const { return gpsRecord_; }

 private:
  std::vector<double> gps_;
  GpsRecord gpsRecord_;
};

}  // namespace fw
